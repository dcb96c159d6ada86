#pragma once

#include "config/helper_config.h"
#include "machine/arch.h"

namespace kelvo {

// The `validate` command: emulator, firmware, KVM, in that order. Prints
// "ok" and returns 0, or emits one error event and returns 1.
int validate_host(const HelperConfig& config, Arch arch);

}  // namespace kelvo
