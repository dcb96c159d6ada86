#include "provision/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "common/paths.h"

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
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) return lock;
    int r;
    while ((r = ::flock(fd.get(), LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (r == 0) lock.fd_ = std::move(fd);
    return lock;
}

}  // namespace kelvo
