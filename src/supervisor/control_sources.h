#pragma once

#include <memory>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/signal_set.hpp>

#include "supervisor/control_channel.h"

namespace kelvo {

// SIGTERM and SIGINT mean Stop, SIGUSR1 means Hibernate.
class SignalWatcher {
  public:
    // Registers SIGTERM, SIGINT and SIGUSR1 at once: from then on such a
    // signal is kept for watch(), never lost and never the end of the
    // process. If a registration fails the signals keep their default
    // behaviour and watch() sends nothing.
    explicit SignalWatcher(const asio::any_io_executor& executor);

    // Turns deliveries into requests until cancelled. The registration stays
    // for the rest of the process, so a signal arriving while the process
    // ends is ignored rather than fatal.
    asio::awaitable<void> watch(std::shared_ptr<ControlChannel> channel);

  private:
    asio::signal_set* signals_ = nullptr;  // never freed (see watch())
};

// True when KELVO_HELPER_ATTACHED is present with a valid UTF-8 value (the
// empty string included): only then is standard input read.
bool attached_mode();

// Starts the standard-input command reader on a thread of its own, so a
// blocking read never holds up the supervisor. The thread is detached and
// ends at end of input or on a read error. Where no thread can be created,
// a task on executor polls standard input instead.
void start_command_reader(const asio::any_io_executor& executor,
                          std::shared_ptr<ControlChannel> channel);

}  // namespace kelvo
