#pragma once

#include <asio/awaitable.hpp>

#include "supervisor/session.h"

namespace kelvo {

// A resumed guest's clock is behind by the time it spent hibernated (hours,
// often), which breaks TLS, package managers, build tools and logs. This
// sets it from the host's clock through the guest agent (guest-set-time),
// within clock_limit. It runs beside the supervision loop, says nothing,
// and gives up quietly when the agent is absent or silent.
asio::awaitable<void> set_guest_clock(Supervisor& s);

}  // namespace kelvo
