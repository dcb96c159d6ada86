#include "supervisor/boot_watcher.h"

#include "events/events.h"
#include "supervisor/probe.h"
#include "supervisor/time_limit.h"

namespace kelvo {

void BootWatcher::close() {
    std::lock_guard guard(mutex_);
    closed_ = true;
}

bool BootWatcher::is_closed() {
    std::lock_guard guard(mutex_);
    return closed_;
}

asio::awaitable<void> BootWatcher::watch() {
    while (!is_closed()) {
        if (co_await probe_ssh(port_, probe_)) {
            std::lock_guard guard(mutex_);
            if (!closed_) emit_running(port_);
            co_return;
        }
        co_await sleep_for(retry_);
    }
}

}  // namespace kelvo
