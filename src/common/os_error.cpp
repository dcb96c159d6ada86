#include "common/os_error.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace kelvo {

std::string os_error(int errnum) {
    char buf[256];
    // GNU strerror_r returns a pointer that may or may not be buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return fmt::format("{} (os error {})", text, errnum);
}

std::string last_os_error() { return os_error(errno); }

}  // namespace kelvo
