#pragma once

#include <memory>

#include <asio/any_io_executor.hpp>

#include "supervisor/control_channel.h"

namespace kelvo {

// Registers SIGTERM, SIGINT (both Stop) and SIGUSR1 (Hibernate) at once and
// starts the task that turns their deliveries into requests. A signal that
// arrives before the task first waits is kept, not lost, and never ends the
// process. If a registration fails the signals keep their default
// behaviour and nothing is ever sent.
void start_signal_watcher(const asio::any_io_executor& executor,
                          std::shared_ptr<ControlChannel> channel);

// True when KELVO_HELPER_ATTACHED is present with a valid UTF-8 value (the
// empty string included): only then is standard input read.
bool attached_mode();

// Starts the standard-input command reader on a thread of its own, so a
// blocking read never holds up the supervisor. The thread is detached and
// ends at end of input or on a read error.
void start_command_reader(std::shared_ptr<ControlChannel> channel);

}  // namespace kelvo
