#include "provision/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "provision/paths.h"

namespace kelvo {

namespace {

constexpr std::string_view kLockFileName = ".lock";

}  // namespace

CacheLock CacheLock::acquire(const std::string& cache_dir) {
    return take(cache_dir, true);
}

CacheLock CacheLock::try_acquire(const std::string& cache_dir) {
    return take(cache_dir, false);
}

CacheLock CacheLock::take(const std::string& cache_dir, bool wait) {
    CacheLock lock;
    const std::string path = join_path(cache_dir, kLockFileName);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return lock;
    int r;
    while ((r = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (r != 0) {
        ::close(fd);
        return lock;
    }
    lock.fd_ = fd;
    return lock;
}

CacheLock::CacheLock(CacheLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

CacheLock& CacheLock::operator=(CacheLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

CacheLock::~CacheLock() {
    release();
}

void CacheLock::release() {
    // Closing the only descriptor of the open file releases the lock.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace kelvo
