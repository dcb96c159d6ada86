#pragma once

#include <string>

namespace kelvo {

// "No such file or directory (os error 2)": the system's description of an
// error number followed by the number itself.
std::string os_error(int errnum);

// os_error() of the calling thread's current errno.
std::string last_os_error();

}  // namespace kelvo
