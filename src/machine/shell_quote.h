#pragma once

#include <string>
#include <string_view>

namespace kelvo {

// POSIX shell single-quote form: 'it'\''s'.
std::string shell_quote(std::string_view path);

}  // namespace kelvo
