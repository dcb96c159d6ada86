#pragma once

#include <expected>
#include <filesystem>

namespace kelvo {

// Removes path and, when it is a directory, everything below it. Symbolic
// links are removed, never followed (a path that is itself a link loses only
// the link). The error is the errno of the first failure; whatever was
// removed before it stays removed.
std::expected<void, int> remove_tree(const std::filesystem::path& path);

}  // namespace kelvo
