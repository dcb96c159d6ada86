#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

class LogFollower;

// One event-log line as the management commands read it: the event, and its
// text ("line" of a log, "state" of a state, "message" of an error). Both are
// empty for any other line, or when that member is missing or not a string.
struct EventText {
    std::string event;
    std::string text;
};
EventText event_text(std::string_view line);

// How one event-log line is echoed while a command watches a helper: "" for
// an empty line, "  state: {state}", "  error: {message}", "  {line}" for a
// log event, and the line itself indented for anything else.
std::string format_event_line(std::string_view line);

// Prints format_event_line(line) on standard output.
void render_event_line(std::string_view line);

// Renders every complete line appended to the followed log since last time,
// handing each to `seen` (when given) after it is shown; returns the message
// of the first `error` event among them, if any.
std::optional<std::string> render_new_events(
    LogFollower& follower, const std::function<void(const EventText&)>& seen = {});

}  // namespace kelvo
