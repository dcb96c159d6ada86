#include "supervisor/control_requests.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

namespace kelvo {

ControlChannel::ControlChannel(const asio::any_io_executor& executor)
    : wakeup_(std::make_unique<Wakeup>(executor, 1)) {}

void ControlChannel::send(ControlRequest request) {
    std::lock_guard guard(mutex_);
    if (!wakeup_) return;
    queue_.push_back(request);
    // Fails only when a wake-up is already pending, which is just as good.
    (void)wakeup_->try_send(std::error_code(), true);
}

void ControlChannel::close() {
    std::lock_guard guard(mutex_);
    wakeup_.reset();
}

std::optional<ControlRequest> ControlChannel::try_receive() {
    std::lock_guard guard(mutex_);
    if (queue_.empty()) return std::nullopt;
    const ControlRequest request = queue_.front();
    queue_.pop_front();
    return request;
}

ControlChannel::Wakeup* ControlChannel::wakeup_if_empty() {
    std::lock_guard guard(mutex_);
    return queue_.empty() ? wakeup_.get() : nullptr;
}

asio::awaitable<void> ControlChannel::wait() {
    // (Only the receiver waits, and it closes the channel only after its
    // last wait, so the wake-up channel stays while it is used here.)
    while (Wakeup* wakeup = wakeup_if_empty()) {
        auto [ec, ignored] =
            co_await wakeup->async_receive(asio::experimental::as_tuple(asio::use_awaitable));
        (void)ignored;
        // Cancelled (a race was decided elsewhere): the caller has moved on.
        if (ec) co_return;
    }
}

}  // namespace kelvo
