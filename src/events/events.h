#pragma once

#include <cstdint>
#include <string_view>

namespace kelvo {

// The states a `state` event tells, in the order a VM passes through them.
enum class VmState {
    Starting,    // `run` began
    Restoring,   // QEMU starts from a snapshot
    Running,     // the guest's SSH server answers (told with its port: emit_running)
    Saving,      // hibernation: the snapshot is being written
    Hibernated,  // the snapshot is complete; QEMU is being ended
    Stopped,     // QEMU ended (not after hibernation)
};

// The state's word on the wire: "starting", "restoring", "running",
// "saving", "hibernated", "stopped".
std::string_view to_string(VmState state);

// The NDJSON event stream of the plumbing commands: one compact JSON object
// per line on standard output, keys in ascending order. Each call writes one
// whole line under the process-wide emit lock; a failed write (reader gone)
// loses the event silently.
void emit_state(VmState state);
void emit_running(uint16_t port);
void emit_log(std::string_view line);
void emit_error(std::string_view message);

}  // namespace kelvo
