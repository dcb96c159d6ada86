#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace kelvo {

// Removes path and, when it is a directory, everything below it. Symbolic
// links are removed, never followed (a path that is itself a link loses only
// the link). The error is the reason for the first failure ("Permission
// denied (os error 13)"); whatever was removed before it stays removed. The
// entry of path named `last` goes after all the others, so that a failure
// leaves it in place.
std::expected<void, std::string> remove_tree(const std::filesystem::path& path,
                                             std::string_view last = {});

}  // namespace kelvo
