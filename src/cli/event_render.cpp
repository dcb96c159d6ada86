#include "cli/event_render.h"

#include <fmt/format.h>

#include "cli/log_follower.h"
#include "common/json.h"
#include "common/output.h"

namespace kelvo {

namespace {

// The member of an object that is a string, or nothing.
const std::string* string_member(const nlohmann::json& value, const char* key) {
    if (!value.is_object()) return nullptr;
    const auto it = value.find(key);
    if (it == value.end() || !it->is_string()) return nullptr;
    return it->get_ptr<const std::string*>();
}

}  // namespace

std::string format_event_line(std::string_view line) {
    if (line.empty()) return {};
    const auto value = parse_json_line(line);
    if (value) {
        if (const std::string* event = string_member(*value, "event")) {
            if (*event == "log") {
                if (const std::string* text = string_member(*value, "line"))
                    return fmt::format("  {}\n", *text);
            } else if (*event == "state") {
                if (const std::string* state = string_member(*value, "state"))
                    return fmt::format("  state: {}\n", *state);
            } else if (*event == "error") {
                if (const std::string* message = string_member(*value, "message"))
                    return fmt::format("  error: {}\n", *message);
            }
        }
    }
    return fmt::format("  {}\n", line);
}

void render_event_line(std::string_view line) {
    const std::string text = format_event_line(line);
    if (!text.empty()) print_stdout(text);
}

std::optional<std::string> render_new_events(LogFollower& follower) {
    std::optional<std::string> error;
    for (const std::string& line : read_new_lines(follower)) {
        render_event_line(line);
        if (error) continue;
        const auto value = parse_json_line(line);
        if (!value) continue;
        const std::string* event = string_member(*value, "event");
        const std::string* message = string_member(*value, "message");
        if (event && *event == "error" && message) error = *message;
    }
    return error;
}

}  // namespace kelvo
