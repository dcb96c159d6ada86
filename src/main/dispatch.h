#pragma once

#include <string>
#include <vector>

#include <asio/awaitable.hpp>

namespace kelvo {

// The top-level task: reads the command word and runs the command. args[0]
// is the program's own path. Returns the process exit status.
asio::awaitable<int> dispatch(std::vector<std::string> args);

}  // namespace kelvo
