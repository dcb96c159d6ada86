#pragma once

#include <cstdint>

#include <asio/awaitable.hpp>

#include "supervisor/run_timings.h"

namespace kelvo {

// True when a TCP connection to 127.0.0.1:port is established within the
// connect limit and one read of up to 4 bytes, within the read limit,
// returns exactly "SSH-" (the start of an SSH server's identification).
// QEMU's user network accepts on the forwarded port long before the guest's
// sshd runs, so a bare connection proves nothing.
asio::awaitable<bool> probe_ssh(uint16_t port, ProbeTimings timings);

}  // namespace kelvo
