#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// dir + "/" + name; just name when dir is empty (the working directory), and
// no doubled slash when dir already ends with one.
std::string join_path(std::string_view dir, std::string_view name);

// The directory part of a path, trailing slashes ignored: "a/b/c" -> "a/b",
// "/c" -> "/", "c" -> "" (a bare name lives in the working directory).
// Nothing for the empty path and for the root directory, which have no parent.
std::optional<std::string> parent_dir(std::string_view path);

}  // namespace kelvo
