#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

#include <asio/awaitable.hpp>

#include "supervisor/run_timings.h"

namespace kelvo {

// A cold boot's readiness report: probes the forwarded SSH port until the
// guest's SSH server answers (probe_ssh), then emits `running` and ends.
// Between attempts it sleeps boot_probe_retry. It runs beside the
// supervisor (see alongside()), which closes it once QEMU has ended.
class BootWatcher {
  public:
    BootWatcher(uint16_t port, const RunTimings& timings)
        : port_(port), probe_(timings.probe), retry_(timings.boot_probe_retry) {}

    asio::awaitable<void> watch();

    // After close() returns the watcher emits nothing more, so `running`
    // never follows `stopped`.
    void close();

  private:
    bool is_closed();

    const uint16_t port_;
    const ProbeTimings probe_;
    const std::chrono::milliseconds retry_;
    std::mutex mutex_;  // orders close() against the emit
    bool closed_ = false;
};

}  // namespace kelvo
