#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

namespace kelvo {

// Facts about files, and how this program opens, reads, writes durably and
// removes them. A path is a std::string everywhere. No function here ever
// waits on a FIFO or a device put where a file was expected.

// stat succeeds (symbolic links followed).
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);
// The size of the file at path (links followed); nothing for "" or when it
// cannot be stat'ed.
std::optional<uint64_t> file_size(const std::string& path);

// mkdir with all missing parents; an existing directory is success. The
// error is the reason of the first mkdir that failed for a reason of its
// own.
std::expected<void, std::string> create_dir_all(const std::string& dir);

// A regular file open for reading, and its size and time of last change
// when it was opened.
struct RegularFile {
    UniqueFd fd;
    uint64_t size = 0;
    std::chrono::system_clock::time_point modified;
};

// Opens a regular file (links followed) for reading. The error is the
// reason only: "No such file or directory (os error 2)", "Is a directory
// (os error 21)", kNotRegularFile, "file name contained an unexpected NUL
// byte".
std::expected<RegularFile, std::string> open_regular_file(const std::string& path);

// The whole of a regular file in one pass, whatever its size; with
// max_bytes, its first max_bytes at most. Errors as open_regular_file's, or
// the reason a read failed.
std::expected<std::string, std::string> read_regular_file(
    const std::string& path, std::optional<size_t> max_bytes = std::nullopt);

// The last max_bytes of a regular file at most (all of a shorter one), and
// when it last changed. Errors as read_regular_file's.
struct FileTail {
    std::string bytes;
    std::chrono::system_clock::time_point modified;
};
std::expected<FileTail, std::string> read_file_tail(const std::string& path, size_t max_bytes);

// Opens path for writing as a file that holds guest data: readable and
// writable by its owner alone (mode 0600 whatever the umask; an existing
// regular file's mode is corrected too). A symbolic link at path is replaced
// by a new file, never followed. `flags` adds open flags (O_TRUNC,
// O_NONBLOCK, O_APPEND). The error is the system's description. Only a
// regular file is opened: anything else fails with kNotRegularFile (or the
// system's error, ENXIO for a FIFO without a reader).
std::expected<UniqueFd, std::string> open_private_file(const std::string& path, int flags);

inline constexpr std::string_view kNotRegularFile = "not a regular file";

// Flushes the file's data and metadata to stable storage (fsync). Errors:
// "fsync {path}: {reason}" (or "open {path}: {reason}").
std::expected<void, std::string> sync_file(const std::string& path);

// Flushes the directory that holds path, so that a rename or creation in it
// survives a crash. Same errors, naming the directory.
std::expected<void, std::string> sync_parent_dir(const std::string& path);

// Removes path and, when it is a directory, everything below it. Symbolic
// links are removed, never followed (a path that is itself a link loses only
// the link). The error is the reason for the first failure ("Permission
// denied (os error 13)"); whatever was removed before it stays removed. The
// entry of path named `last` goes after all the others, so that a failure
// leaves it in place.
std::expected<void, std::string> remove_tree(const std::string& path, std::string_view last = {});

}  // namespace kelvo
