#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace kelvo {

// The longest partial line a follower keeps waiting for its newline (1 MiB).
inline constexpr size_t kMaxPendingLine = size_t(1) << 20;

// A reader of the complete new lines of a growing file (an event log or the
// serial console). Move-only; closes its file when dropped.
class LogFollower {
  public:
    LogFollower(int fd, uint64_t position) : fd_(fd), position_(position) {}

    int fd() const { return fd_.get(); }
    // Offset of the first byte not yet consumed.
    uint64_t position() const { return position_; }
    // Bytes after the last newline, waiting for the rest of their line.
    const std::string& pending() const { return pending_; }

  private:
    friend std::vector<std::string> read_new_lines(LogFollower& follower);

    UniqueFd fd_;
    uint64_t position_ = 0;
    std::string pending_;
    bool overlong_ = false;  // the line being read passed kMaxPendingLine: dropped
};

// Opens path for following from the byte offset; "open {path}: {error}",
// "open {path}: not a regular file".
std::expected<LogFollower, std::string> open_log_follower(const std::string& path, uint64_t offset);

// A follower at the file's current end, or nothing when it cannot be opened.
std::optional<LogFollower> follow_from_end(const std::string& path);

// The complete lines that arrived since the last call, trailing white space
// removed. A file that has become shorter than the read position was
// truncated (start truncates helper.out): reading starts again at its
// beginning, so the new content is not lost.
std::vector<std::string> read_new_lines(LogFollower& follower);

}  // namespace kelvo
