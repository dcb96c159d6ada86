#include "events/events.h"

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "common/json.h"
#include "common/output.h"

namespace kelvo {

namespace {

std::mutex& emit_lock() {
    static std::mutex lock;
    return lock;
}

void emit(const nlohmann::json& record) {
    std::string line = dump_compact(record);
    line += '\n';
    std::lock_guard guard(emit_lock());
    (void)print_stdout(line);
}

}  // namespace

std::string_view to_string(VmState state) {
    switch (state) {
        case VmState::Starting:
            return "starting";
        case VmState::Restoring:
            return "restoring";
        case VmState::Running:
            return "running";
        case VmState::Saving:
            return "saving";
        case VmState::Hibernated:
            return "hibernated";
        case VmState::Stopped:
            return "stopped";
    }
    return "unknown";
}

void emit_state(VmState state) {
    emit({{"event", "state"}, {"state", std::string(to_string(state))}});
}

void emit_running(uint16_t port) {
    emit({{"event", "state"}, {"port", port}, {"state", std::string(to_string(VmState::Running))}});
}

void emit_log(std::string_view line) {
    emit({{"event", "log"}, {"line", std::string(line)}});
}

void emit_error(std::string_view message) {
    emit({{"event", "error"}, {"message", std::string(message)}});
}

}  // namespace kelvo
