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

// How a line whose event_text is `shown` is echoed.
std::string format_event(std::string_view line, const EventText& shown) {
    if (shown.event == "log") return fmt::format("  {}\n", shown.text);
    if (shown.event == "state") return fmt::format("  state: {}\n", shown.text);
    if (shown.event == "error") return fmt::format("  error: {}\n", shown.text);
    return fmt::format("  {}\n", line);
}

}  // namespace

EventText event_text(std::string_view line) {
    const auto value = parse_json_line(line);
    if (!value) return {};
    const std::string* event = string_member(*value, "event");
    if (!event) return {};
    const char* member = *event == "log"     ? "line"
                         : *event == "state" ? "state"
                         : *event == "error" ? "message"
                                             : nullptr;
    const std::string* text = member ? string_member(*value, member) : nullptr;
    if (!text) return {};
    return {*event, *text};
}

std::string format_event_line(std::string_view line) {
    if (line.empty()) return {};
    return format_event(line, event_text(line));
}

void render_event_line(std::string_view line) {
    const std::string text = format_event_line(line);
    if (!text.empty()) print_stdout(text);
}

std::optional<std::string> render_new_events(LogFollower& follower,
                                             const std::function<void(const EventText&)>& seen) {
    std::optional<std::string> error;
    for (const std::string& line : read_new_lines(follower)) {
        if (line.empty()) continue;
        const EventText event = event_text(line);
        print_stdout(format_event(line, event));
        if (event.event == "error" && !error) error = event.text;
        if (seen) seen(event);
    }
    return error;
}

}  // namespace kelvo
