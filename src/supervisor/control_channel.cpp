#include "supervisor/control_channel.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

namespace kelvo {

ControlChannel::ControlChannel(const asio::any_io_executor& executor) : wakeup_(executor, 1) {}

void ControlChannel::send(ControlRequest request) {
    {
        std::lock_guard guard(mutex_);
        queue_.push_back(request);
    }
    // Fails only when a wake-up is already pending, which is just as good.
    (void)wakeup_.try_send(std::error_code(), true);
}

std::optional<ControlRequest> ControlChannel::try_receive() {
    std::lock_guard guard(mutex_);
    if (queue_.empty()) return std::nullopt;
    const ControlRequest request = queue_.front();
    queue_.pop_front();
    return request;
}

bool ControlChannel::empty() {
    std::lock_guard guard(mutex_);
    return queue_.empty();
}

asio::awaitable<void> ControlChannel::wait() {
    while (empty()) {
        auto [ec, ignored] =
            co_await wakeup_.async_receive(asio::experimental::as_tuple(asio::use_awaitable));
        (void)ignored;
        // Cancelled (a race was decided elsewhere): the caller has moved on.
        if (ec) co_return;
    }
}

asio::awaitable<ControlRequest> ControlChannel::receive() {
    for (;;) {
        co_await wait();
        if (auto request = try_receive()) co_return *request;
    }
}

}  // namespace kelvo
