#pragma once

#include <string_view>

namespace kelvo {

inline constexpr std::string_view kVersion = "0.3.0";

// The 48-line help text, each line ending with a newline.
std::string_view help_text();

}  // namespace kelvo
