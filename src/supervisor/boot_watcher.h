#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "supervisor/run_timings.h"

namespace kelvo {

// A cold boot's readiness report: probes the forwarded SSH port until the
// guest's SSH server answers (probe_ssh), then emits `running` and ends.
// Between attempts it sleeps boot_probe_retry. It runs as its own task.
class BootWatcher {
  public:
    static std::shared_ptr<BootWatcher> start(const asio::any_io_executor& executor, uint16_t port,
                                              const RunTimings& timings);

    // After close() returns the watcher emits nothing more and ends at its
    // next wake-up. The supervisor calls it once QEMU has ended, so `running`
    // never follows `stopped`.
    void close();

    BootWatcher(uint16_t port, ProbeTimings probe, std::chrono::milliseconds retry)
        : port_(port), probe_(probe), retry_(retry) {}

  private:
    // The task holds its watcher for as long as it runs.
    static asio::awaitable<void> watch(std::shared_ptr<BootWatcher> self);
    bool is_closed();

    const uint16_t port_;
    const ProbeTimings probe_;
    const std::chrono::milliseconds retry_;
    std::mutex mutex_;  // orders close() against the emit
    bool closed_ = false;
};

}  // namespace kelvo
