#pragma once

#include <string>

namespace kelvo {

// Renders a wait status the way every message of the program shows a child's
// end: "exit status: 1", "signal: 9 (SIGKILL)", "signal: 6 (SIGABRT) (core dumped)".
std::string describe_wait_status(int wait_status);

// True when the child exited by itself with code 0.
bool wait_status_success(int wait_status);

// "SIGKILL" for 9; "" for a number without a name.
std::string signal_name(int signal_number);

}  // namespace kelvo
