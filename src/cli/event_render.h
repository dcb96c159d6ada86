#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

class LogFollower;

// How one event-log line is echoed while a command watches a helper: "" for
// an empty line, "  state: {state}", "  error: {message}", "  {line}" for a
// log event, and the line itself indented for anything else.
std::string format_event_line(std::string_view line);

// Prints format_event_line(line) on standard output.
void render_event_line(std::string_view line);

// Renders every complete line appended to the followed log since last time;
// returns the message of the first `error` event among them, if any.
std::optional<std::string> render_new_events(LogFollower& follower);

}  // namespace kelvo
