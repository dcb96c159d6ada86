#pragma once

#include <string_view>

namespace kelvo {

// The program's version ("0.3.0"), as the build gives it.
std::string_view program_version();

// The 48-line help text, each line ending with a newline.
std::string_view help_text();

}  // namespace kelvo
