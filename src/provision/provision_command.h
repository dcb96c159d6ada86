#pragma once

#include "config/helper_config.h"
#include "machine/arch.h"

namespace kelvo {

// The `provision` command: base image, disk, seed, variable store. Returns
// 0 after "provisioning: complete", 1 after the first failing step. A
// save_path that names another of the VM's files is refused first. SIGTERM,
// SIGINT or SIGHUP cancel it: the running tool is stopped, what it was
// writing removed, and the one error event is "provision cancelled
// ({signal}): {what was stopped}"; the status is 1.
int provision_command(const HelperConfig& config, Arch arch);

}  // namespace kelvo
