#include "provision/cache_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "common/paths.h"
#include "provision/cancel_signals.h"

namespace kelvo {

namespace {

constexpr std::string_view kLockFileName = ".lock";
constexpr int kLookMs = 100;

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
    // O_NONBLOCK: whatever sits at the path, the open never waits.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!fd.valid()) return lock;
    for (;;) {
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            lock.fd_ = std::move(fd);
            return lock;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || !wait) return lock;
        // Held by another provision: a look every 100 ms, until a cancelling
        // signal ends the wait (a blocking flock would not see it).
        pollfd cancelled{cancel_fd(), POLLIN, 0};
        if (::poll(&cancelled, 1, kLookMs) > 0) return lock;
    }
}

}  // namespace kelvo
