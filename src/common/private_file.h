#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace kelvo {

// Opens path for writing as a file that holds guest data: readable and
// writable by its owner alone (mode 0600 whatever the umask; an existing
// regular file's mode is corrected too). A symbolic link at path is replaced
// by a new file, never followed. `flags` adds open flags (O_TRUNC,
// O_NONBLOCK, O_APPEND). The error is the system's description. Only a
// regular file is opened: the open never waits on a FIFO, and anything but a
// regular file fails with kNotRegularFile (or the system's error, ENXIO for a
// FIFO without a reader).
std::expected<UniqueFd, std::string> open_private_file(const std::string& path, int flags);

inline constexpr std::string_view kNotRegularFile = "not a regular file";

}  // namespace kelvo
