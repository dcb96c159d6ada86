#include "events/events.h"

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "common/output.h"
#include "common/json.h"

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

void emit_state(std::string_view state) {
    emit({{"event", "state"}, {"state", std::string(state)}});
}

void emit_running(uint16_t port) {
    emit({{"event", "state"}, {"port", port}, {"state", "running"}});
}

void emit_log(std::string_view line) { emit({{"event", "log"}, {"line", std::string(line)}}); }

void emit_error(std::string_view message) {
    emit({{"event", "error"}, {"message", std::string(message)}});
}

}  // namespace kelvo
