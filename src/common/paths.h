#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// The home directory from $HOME: "HOME not set" when it is unset or not
// UTF-8.
std::expected<std::string, std::string> home_dir();

// dir + "/" + name; just name when dir is empty (the working directory), and
// no doubled slash when dir already ends with one.
std::string join_path(std::string_view dir, std::string_view name);

// The lexical parent of a path: everything before its last component, with
// trailing "/" and "/." runs ignored ("a/b/" and "a/b/." both end in the
// component "b"): "a/b/c" -> "a/b", "/c" -> "/", "c" -> "" (a bare name lives
// in the working directory). Nothing for "" and "/", which have no parent.
std::optional<std::string> parent_dir(std::string_view path);

}  // namespace kelvo
