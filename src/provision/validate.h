#pragma once

#include <string>

#include "config/helper_config.h"
#include "machine/arch.h"
#include "machine/firmware.h"

namespace kelvo {

// The `validate` command: emulator, firmware, KVM, in that order. Prints
// "ok" and returns 0, or emits one error event and returns 1.
int validate_command(const HelperConfig& config, Arch arch);

// The host facts validate_command examines; tests substitute them.
struct HostProbe {
    std::string emulator{};                  // run with "--version"; "" = the arch's QEMU
    ExistsFn firmware_exists = path_exists;  // existence of firmware files
    std::string kvm_path = "/dev/kvm";
};

int validate_command(const HelperConfig& config, Arch arch, const HostProbe& probe);

}  // namespace kelvo
