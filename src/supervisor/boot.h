#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/child_process.h"
#include "config/helper_config.h"
#include "supervisor/session.h"
#include "supervisor/timings.h"

namespace kelvo {

// "launching {emulator} (cpu=2, mem=2048MiB, sshd→127.0.0.1:2222)", with
// ", resuming from snapshot" before the ")" when resuming. The numbers are
// the configured ones.
std::string launching_line(const HelperConfig& config, std::string_view emulator, bool resuming);

// Starts the emulator (found through PATH) with standard input from the null
// device and standard output and error in qemu.log of the VM run directory
// (created or truncated, mode 0600); QEMU runs with umask 077, in a process
// group of its own (a terminal's Ctrl-C is the supervisor's alone). The child is
// killed with SIGKILL if its handle is dropped while it runs. Errors:
// "create qemu.log: {reason}", "dup qemu.log: {reason}",
// "failed to spawn {emulator}: {reason}".
std::expected<Child, std::string> spawn_qemu(const HelperConfig& config, std::string_view emulator,
                                             std::vector<std::string> args);

// True when a TCP connection to 127.0.0.1:port is established within the
// connect limit and one read of up to 4 bytes, within the read limit,
// returns exactly "SSH-" (the start of an SSH server's identification).
// QEMU's user network accepts on the forwarded port long before the guest's
// sshd runs, so a bare connection proves nothing.
asio::awaitable<bool> probe_ssh(uint16_t port, ProbeTimings timings);

// The guest's SSH server answers: probe_ssh on the forwarded port, and the
// socket listening there is QEMU's own (s.port_owner; taken on trust where
// /proc cannot tell), not another program's that holds the same port.
asio::awaitable<bool> guest_answers(const Supervisor& s);

// A cold boot's readiness report: probes the forwarded SSH port until the
// guest's SSH server answers (guest_answers), then emits `running` and ends.
// Between attempts it sleeps boot_probe_retry. It runs beside the
// supervision loop (see alongside()) on the same strand, and emits nothing
// once the loop has seen QEMU end (s.ended), so `running` never follows
// `stopped`, nor while s.running_withheld (a hibernation or a powerdown).
asio::awaitable<void> watch_boot(const Supervisor& s);

}  // namespace kelvo
