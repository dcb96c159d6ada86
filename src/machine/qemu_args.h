#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/helper_config.h"
#include "machine/arch.h"
#include "machine/snapshot.h"

namespace kelvo {

// "qemu-system-x86_64" or "qemu-system-aarch64".
std::string_view qemu_program(Arch arch);

// The 40 QEMU arguments (the program name is not included).
std::vector<std::string> build_qemu_args(const HelperConfig& config, Arch arch,
                                         std::string_view firmware_code_path,
                                         std::string_view machine_uuid);

// The machine a snapshot of this VM is loaded into, as build_qemu_args
// gives it to QEMU (vCPUs and memory with their minimums applied).
SnapshotSettings snapshot_settings(const HelperConfig& config, Arch arch,
                                   std::string_view firmware_code_path);

// Appends "-incoming" and "exec:cat {quoted save_path}".
void append_resume_args(std::vector<std::string>& args, std::string_view save_path);

}  // namespace kelvo
