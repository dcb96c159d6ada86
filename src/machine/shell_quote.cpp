#include "machine/shell_quote.h"

namespace kelvo {

std::string shell_quote(std::string_view path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace kelvo
