#pragma once

#include "config/helper_config.h"
#include "machine/arch.h"

namespace kelvo {

// The `provision` command: base image, disk, seed, variable store. Returns
// 0 after "provisioning: complete", 1 after the first failing step. A
// save_path that names another of the VM's files is refused first.
int provision_command(const HelperConfig& config, Arch arch);

}  // namespace kelvo
