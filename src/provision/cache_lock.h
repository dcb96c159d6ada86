#pragma once

#include <string>

#include "common/unique_fd.h"

namespace kelvo {

// An exclusive advisory lock (flock) on the file ".lock" in the image cache
// directory. Two provisions on one host would otherwise share the download
// temporary file; with the lock the second waits for the first and then
// finds the verified image. The kernel drops the lock when the holder dies,
// so a killed provision never blocks the next one.
class CacheLock {
  public:
    // Blocks until the lock is held, or until provision is cancelled (see
    // CancelSignals; the lock is then not held). Where the lock file cannot
    // be opened or the file system refuses locks, provisioning goes on
    // unlocked: the lock only guards against a concurrent provision and must
    // not make a lone one fail.
    static CacheLock acquire(const std::string& cache_dir);
    // Takes the lock only when it is free; held() tells.
    static CacheLock try_acquire(const std::string& cache_dir);

    bool held() const { return fd_.valid(); }

  private:
    CacheLock() = default;
    static CacheLock take(const std::string& cache_dir, bool wait);

    UniqueFd fd_;  // closing the only descriptor of the open file releases the lock
};

}  // namespace kelvo
