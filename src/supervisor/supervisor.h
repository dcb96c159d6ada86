#pragma once

#include <asio/awaitable.hpp>

#include "supervisor/session.h"

namespace kelvo {

// The handlers of the supervision loop. (Hibernate: hibernate.h.)
asio::awaitable<void> graceful_powerdown(Supervisor& s);
asio::awaitable<void> hard_kill(Supervisor& s);
asio::awaitable<void> powerdown_timed_out(Supervisor& s);

// The supervision loop: waits at once for QEMU's end, the next control
// request, the powerdown deadline and the monitor's next event (which may
// change the run state, run_state.h), handles what comes, and returns once
// QEMU has ended and been reported (`stopped` unless hibernated).
asio::awaitable<void> supervise(Supervisor& s);

}  // namespace kelvo
