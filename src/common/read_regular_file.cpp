#include "common/read_regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "common/os_error.h"
#include "common/unique_fd.h"

namespace kelvo {

namespace {

constexpr const char* kNotRegular = "not a regular file";
constexpr const char* kNulInName = "file name contained an unexpected NUL byte";

}  // namespace

std::expected<std::string, std::string> read_regular_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::unexpected(kNulInName);

    // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.valid()) return std::unexpected(last_os_error());

    struct stat st {};
    if (::fstat(file.get(), &st) != 0) return std::unexpected(last_os_error());
    if (S_ISDIR(st.st_mode)) return std::unexpected(os_error(EISDIR));
    if (!S_ISREG(st.st_mode)) return std::unexpected(kNotRegular);

    std::string data;
    // The size is a hint only: the file may grow or shrink while it is read.
    data.reserve(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 1);
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(file.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_os_error());
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

}  // namespace kelvo
