#pragma once

#include <expected>
#include <string>

namespace kelvo {

// Reads the whole of a regular file (symbolic links followed) in one pass,
// whatever its size. Never blocks on a FIFO or a device: anything that is not
// a regular file is refused without reading it. The error is the reason only:
// "No such file or directory (os error 2)", "Is a directory (os error 21)",
// "not a regular file", "file name contained an unexpected NUL byte".
std::expected<std::string, std::string> read_regular_file(const std::string& path);

}  // namespace kelvo
