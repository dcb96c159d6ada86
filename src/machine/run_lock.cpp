#include "machine/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "common/os_error.h"
#include "machine/run_dir.h"

namespace kelvo {

namespace {

// True when fd is open on the file at path.
bool same_file(int fd, const std::string& path) {
    struct stat by_fd, by_path;
    return ::fstat(fd, &by_fd) == 0 && ::stat(path.c_str(), &by_path) == 0 &&
           by_fd.st_dev == by_path.st_dev && by_fd.st_ino == by_path.st_ino;
}

}  // namespace

std::expected<std::optional<UniqueFd>, std::string> try_lock_run(const HelperConfig& config,
                                                                 int inherited_fd) {
    const std::string path = run_lock_path(config);
    if (inherited_fd >= 0 && same_file(inherited_fd, path) &&
        ::flock(inherited_fd, LOCK_EX | LOCK_NB) == 0) {
        // Not passed on to QEMU or other children: the lock ends with us.
        (void)::fcntl(inherited_fd, F_SETFD, FD_CLOEXEC);
        return UniqueFd(inherited_fd);
    }
    // O_NOFOLLOW: a link planted in the VM folder is not followed.
    UniqueFd lock(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (!lock.valid() && errno == ENOENT) return UniqueFd();
    if (!lock.valid()) return std::unexpected("lock " + path + ": " + last_os_error());
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return std::nullopt;
        return std::unexpected("lock " + path + ": " + last_os_error());
    }
    return lock;
}

}  // namespace kelvo
