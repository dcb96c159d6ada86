#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "supervisor/control_channel.h"
#include "supervisor/control_request.h"

namespace kelvo {

// One standard-input line of an attached supervisor: a JSON object whose
// string member `cmd` is "stop", "kill" or "hibernate" (exact, case-sensitive;
// other members ignored). Anything else yields nothing.
std::optional<ControlRequest> parse_control_command(std::string_view line);

// Splits input into command lines and sends their requests. A line longer
// than 1 MiB is dropped whole instead of being buffered without end.
class CommandLines {
  public:
    explicit CommandLines(ControlChannel& channel);
    // Takes the next bytes read.
    void feed(std::string_view chunk);
    // End of input: a last line without "\n" still counts; sends InputClosed.
    void finish();

  private:
    ControlChannel& channel_;
    std::string pending_;
    bool overlong_ = false;  // dropping the rest of a line longer than the limit
};

// Reads commands from fd until end of input (then sends InputClosed) or a
// read error (then sends nothing). Lines end at "\n"; a "\r" before it is
// dropped; a last line without "\n" still counts. Blocks the calling thread.
void read_control_commands(int fd, ControlChannel& channel);

}  // namespace kelvo
