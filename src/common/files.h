#pragma once

#include <cstddef>
#include <expected>
#include <string>

namespace kelvo {

// Facts and durable updates of files in the file system.

// Flushes the file's data and metadata to stable storage (fsync). Errors:
// "fsync {path}: {reason}" (or "open {path}: {reason}").
std::expected<void, std::string> sync_file(const std::string& path);

// Flushes the directory that holds path, so that a rename or creation in it
// survives a crash. Same errors, naming the directory.
std::expected<void, std::string> sync_parent_dir(const std::string& path);

// The first max_bytes (at most) of a regular file; "" when it cannot be
// read. Never waits on a FIFO or a device put at path.
std::string read_file_head(const std::string& path, size_t max_bytes);

}  // namespace kelvo
