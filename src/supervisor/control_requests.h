#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/concurrent_channel.hpp>

namespace kelvo {

// What signals and standard-input commands ask the supervisor to do (where
// each comes from: signals_and_stdin.h).
enum class ControlRequest {
    Stop = 0,         // SIGTERM, SIGINT, {"cmd":"stop"}: graceful powerdown
    Kill = 1,         // {"cmd":"kill"}: hard kill
    Hibernate = 2,    // SIGUSR1, {"cmd":"hibernate"}
    InputClosed = 3,  // end of standard input in attached mode: like Stop
};

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

    // Ends the channel while the runtime still exists: later sends are
    // dropped and touch nothing of the runtime, so a sender that outlives
    // the command (the standard-input thread) is harmless. The receiver
    // waits no more after this.
    void close();

  private:
    using Wakeup = asio::experimental::concurrent_channel<void(std::error_code, bool)>;

    // The wake-up channel when the queue is empty and the channel open.
    Wakeup* wakeup_if_empty();

    std::mutex mutex_;
    std::deque<ControlRequest> queue_;
    // Holds at most one pending wake-up; a full channel means the receiver
    // will look at the queue anyway. (The bool carries nothing.) Null once
    // closed.
    std::unique_ptr<Wakeup> wakeup_;
};

}  // namespace kelvo
