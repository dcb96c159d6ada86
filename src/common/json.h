#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kelvo {

// Every JSON text the program writes: members in ascending byte order (the
// default object is a sorted map), non-ASCII as raw UTF-8, "/" unescaped,
// control characters as \n-style or \u001f-style escapes. Text that is not
// UTF-8 is replaced, never thrown over.
std::string dump_compact(const nlohmann::json& value);
std::string dump_pretty(const nlohmann::json& value);  // two-blank indent

// Parses one received line (trimmed first); nothing when it is not JSON or
// nests arrays and objects more than 256 levels deep.
std::optional<nlohmann::json> parse_json_line(std::string_view line);

}  // namespace kelvo
