#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/output.h"
#include "main/runtime.h"

int main(int argc, char** argv) {
    // Writes to a closed pipe fail instead of ending the process; the event
    // writer relies on this when the app's SSH channel goes away.
    std::signal(SIGPIPE, SIG_IGN);
    kelvo::guard_standard_streams();
    const int status = kelvo::run_top_level(std::vector<std::string>(argv, argv + argc));
    // Ends the process without joining abandoned tasks.
    std::_Exit(status);
}
