#include "common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "common/os_error.h"
#include "common/paths.h"
#include "common/unique_fd.h"

namespace kelvo {

namespace {

std::expected<void, std::string> sync_path(const std::string& path, int flags) {
    // O_NONBLOCK: a FIFO put in the file's place is never waited on.
    UniqueFd fd(::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return std::unexpected("open " + path + ": " + last_os_error());
    if (::fsync(fd.get()) != 0) return std::unexpected("fsync " + path + ": " + last_os_error());
    return {};
}

}  // namespace

std::expected<void, std::string> sync_file(const std::string& path) {
    return sync_path(path, 0);
}

std::expected<void, std::string> sync_parent_dir(const std::string& path) {
    const auto dir = parent_dir(path);
    return sync_path(dir && !dir->empty() ? *dir : ".", O_DIRECTORY);
}

std::string read_file_head(const std::string& path, size_t max_bytes) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    std::string text(max_bytes, '\0');
    size_t got = 0;
    while (got < max_bytes) {
        const ssize_t n = ::read(fd.get(), text.data() + got, max_bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return text;
}

}  // namespace kelvo
