#pragma once

#include <expected>
#include <string>

#include "config/helper_config.h"
#include "machine/arch.h"

namespace kelvo {

// The rest of provisioning after the base image is cached: a fresh qcow2
// copy of the image as the VM disk (grown to disk_gib when not 0), the
// cloud-init seed ISO from the uploaded user-data and meta-data next to
// seed_path, and the UEFI variable store when firmware is found. Emits the
// progress lines and "provisioning: complete"; returns the first failure.
// The hibernation snapshot is removed before the disk is written; a disk
// whose convert or resize failed (or was cancelled) is removed too, and so is
// the seed of a cancelled build. A disk_path, user-data or meta-data that
// exists but is not a regular file is refused, naming it.
std::expected<void, std::string> provision_disk_and_seed(const HelperConfig& config,
                                                         const std::string& image_path,
                                                         Arch arch = kBuildArch);

// "missing {dir}/user-data or meta-data (...)" for the seed directory; the
// working directory (empty seed directory) is shown as ".".
std::string missing_seed_inputs_message(const std::string& seed_dir);

}  // namespace kelvo
