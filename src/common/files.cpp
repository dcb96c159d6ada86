#include "common/files.h"

#include <fcntl.h>
#include <unistd.h>

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

}  // namespace kelvo
