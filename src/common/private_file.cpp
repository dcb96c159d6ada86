#include "common/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>

#include "common/os_error.h"

namespace kelvo {

std::expected<UniqueFd, std::string> open_private_file(const std::string& path, int flags) {
    // O_NONBLOCK: a FIFO put at path fails at once (no reader) instead of
    // waiting for one; it is refused below either way.
    const int open_flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | flags;
    UniqueFd fd(::open(path.c_str(), open_flags, 0600));
    if (!fd.valid() && errno == ELOOP) {
        // A link: written through, it would fill (or truncate) whatever it
        // points at. The link goes; a new file takes its place.
        if (::unlink(path.c_str()) != 0) return std::unexpected(last_os_error());
        fd.reset(::open(path.c_str(), open_flags | O_EXCL, 0600));
    }
    if (!fd.valid()) return std::unexpected(last_os_error());
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(last_os_error());
    if (!S_ISREG(st.st_mode)) return std::unexpected(std::string(kNotRegularFile));
    if ((st.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0)
        return std::unexpected(last_os_error());
    if ((flags & O_NONBLOCK) == 0 &&
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
        return std::unexpected(last_os_error());
    return fd;
}

}  // namespace kelvo
