#include "cli/file_io.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include "common/text.h"

namespace kelvo {

std::expected<std::string, int> read_file_bytes(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return std::unexpected(err);
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

std::optional<std::string> read_text_file(const std::filesystem::path& path) {
    auto bytes = read_file_bytes(path);
    if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
    return std::move(*bytes);
}

}  // namespace kelvo
