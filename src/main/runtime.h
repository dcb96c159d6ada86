#pragma once

#include <string>
#include <vector>

namespace kelvo {

// Builds the asynchronous runtime (one worker thread per processor), runs the
// top-level task to completion and returns its exit status. Tasks still
// pending then (watchers, a standard-input read) are abandoned: the caller
// ends the process at once.
int run_top_level(std::vector<std::string> args);

}  // namespace kelvo
