#pragma once

#include <cstdint>
#include <string_view>

namespace kelvo {

// The NDJSON event stream of the plumbing commands: one compact JSON object
// per line on standard output, keys in ascending order. Each call writes one
// whole line under the process-wide emit lock; a failed write (reader gone)
// loses the event silently.
void emit_state(std::string_view state);
void emit_running(uint16_t port);
void emit_log(std::string_view line);
void emit_error(std::string_view message);

}  // namespace kelvo
