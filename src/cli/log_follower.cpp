#include "cli/log_follower.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include <fmt/format.h>

#include "cli/vm_store.h"
#include "common/os_error.h"
#include "common/text.h"

namespace kelvo {

std::expected<LogFollower, std::string> open_log_follower(const std::string& path,
                                                          uint64_t offset) {
    // Non-blocking so that a named pipe in place of the log cannot hang the
    // command; reads of a regular file are not affected.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(fmt::format("open {}: {}", path_text(path), last_os_error()));
    LogFollower follower(fd, offset);
    // Only a regular file ends: a device such as /dev/zero never would.
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return std::unexpected(fmt::format("open {}: {}", path_text(path), last_os_error()));
    if (!S_ISREG(st.st_mode))
        return std::unexpected(fmt::format("open {}: not a regular file", path_text(path)));
    return follower;
}

std::optional<LogFollower> follow_from_end(const std::string& path) {
    struct stat st;
    const uint64_t end = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    auto follower = open_log_follower(path, end);
    if (!follower) return std::nullopt;
    return std::move(*follower);
}

std::vector<std::string> read_new_lines(LogFollower& follower) {
    std::vector<std::string> lines;
    struct stat st;
    if (::fstat(follower.fd(), &st) == 0 &&
        static_cast<uint64_t>(st.st_size) < follower.position_) {
        follower.position_ = 0;
        follower.pending_.clear();
        follower.overlong_ = false;
    }
    if (::lseek(follower.fd(), static_cast<off_t>(follower.position_), SEEK_SET) < 0) return lines;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(follower.fd(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return lines;  // the position stays; the next call tries again
        }
        if (n == 0) break;
        follower.position_ += static_cast<uint64_t>(n);
        follower.pending_.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = follower.pending_.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            const std::string_view line(follower.pending_.data() + start, nl - start);
            if (!follower.overlong_) lines.push_back(utf8_lossy(trim_end(line)));
            follower.overlong_ = false;
        }
        follower.pending_.erase(0, start);
        // A line that outgrows the limit is dropped, up to its newline.
        if (follower.pending_.size() > kMaxPendingLine) {
            follower.pending_.clear();
            follower.overlong_ = true;
        }
    }
    return lines;
}

}  // namespace kelvo
