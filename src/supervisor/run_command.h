#pragma once

#include <asio/awaitable.hpp>

#include "config/helper_config.h"
#include "machine/arch.h"
#include "supervisor/timings.h"

namespace kelvo {

// The `run` command: boots the VM under QEMU and supervises it until QEMU
// ends. Returns the exit status (0, or 1 for a failure before supervision).
asio::awaitable<int> run_command(const HelperConfig& config, Arch arch);

// run_command with its time limits given (tests shorten them).
asio::awaitable<int> run_vm(const HelperConfig& config, Arch arch, const RunTimings& timings);

}  // namespace kelvo
