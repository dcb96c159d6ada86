#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <system_error>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/concurrent_channel.hpp>

#include "supervisor/control_request.h"

namespace kelvo {

// The unbounded first-in-first-out queue of control requests: any number of
// senders on any thread, one receiver (the supervisor). Sending never blocks
// and never fails.
class ControlChannel {
  public:
    explicit ControlChannel(const asio::any_io_executor& executor);

    // Queues a request and wakes the receiver. Safe from any thread,
    // coroutine or plain.
    void send(ControlRequest request);

    // The oldest queued request, if any.
    std::optional<ControlRequest> try_receive();

    // Completes once at least one request is queued (at once when the queue
    // is not empty). Taking the request is a separate step, so a wait that
    // loses a race to another operation loses nothing.
    asio::awaitable<void> wait();

    // wait() then try_receive().
    asio::awaitable<ControlRequest> receive();

  private:
    bool empty();

    std::mutex mutex_;
    std::deque<ControlRequest> queue_;
    // Holds at most one pending wake-up; a full channel means the receiver
    // will look at the queue anyway. (The bool carries nothing.)
    asio::experimental::concurrent_channel<void(std::error_code, bool)> wakeup_;
};

}  // namespace kelvo
