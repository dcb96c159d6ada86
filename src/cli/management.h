#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// The management front end: runs one management command and returns the exit
// status (0 success, 1 failure, reported as "kelvo-vmhelper: {message}" on
// standard error).
int run_management(std::string_view command, const std::vector<std::string>& args);

}  // namespace kelvo
