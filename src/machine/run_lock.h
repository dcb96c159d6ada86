#pragma once

#include <expected>
#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "config/helper_config.h"
#include "machine/run_dir.h"

namespace kelvo {

// Only one helper runs a VM at a time. It holds an exclusive flock on
// "helper.lock" in the VM's run directory for its whole life; the kernel
// drops the lock when the holder ends, so it never goes stale. `start` takes
// the lock before it touches the VM's files and hands it to the helper it
// spawns as the helper's descriptor 3 (kInheritedRunLockFd).
inline constexpr int kInheritedRunLockFd = 3;

// Takes the VM's run lock without waiting: the locked file (held while it is
// open), nothing when another process holds it, or "lock {path}: {error}".
// A run directory that does not exist holds no VM another helper could run:
// the lock is then an empty descriptor, and the run goes on to fail on the
// files it cannot make there.
// A lock inherited on inherited_fd (the same file, already locked by the
// parent's open file) is taken over instead of opening the file again.
std::expected<std::optional<UniqueFd>, std::string> try_lock_run(const HelperConfig& config,
                                                                 int inherited_fd = -1);

}  // namespace kelvo
