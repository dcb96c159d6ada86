#include "supervisor/boot_watcher.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "events/events.h"
#include "supervisor/probe.h"
#include "supervisor/time_limit.h"

namespace kelvo {

std::shared_ptr<BootWatcher> BootWatcher::start(const asio::any_io_executor& executor,
                                                uint16_t port, const RunTimings& timings) {
    auto watcher = std::make_shared<BootWatcher>(port, timings.probe, timings.boot_probe_retry);
    asio::co_spawn(executor, watch(watcher), asio::detached);
    return watcher;
}

void BootWatcher::close() {
    std::lock_guard guard(mutex_);
    closed_ = true;
}

bool BootWatcher::is_closed() {
    std::lock_guard guard(mutex_);
    return closed_;
}

asio::awaitable<void> BootWatcher::watch(std::shared_ptr<BootWatcher> self) {
    while (!self->is_closed()) {
        if (co_await probe_ssh(self->port_, self->probe_)) {
            std::lock_guard guard(self->mutex_);
            if (!self->closed_) emit_running(self->port_);
            co_return;
        }
        co_await sleep_for(self->retry_);
    }
}

}  // namespace kelvo
