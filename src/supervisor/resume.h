#pragma once

#include <string_view>

#include <asio/awaitable.hpp>

#include "supervisor/session.h"

namespace kelvo {

// Run by the guest agent after a resume to bring the guest's network back
// (125 characters).
inline constexpr std::string_view kNetworkReinitCommand =
    "netplan apply 2>/dev/null || systemctl restart systemd-networkd 2>/dev/null || "
    "{ dhclient -r; dhclient; } 2>/dev/null || true";

// Brings a VM restored from save_path back into service: waits for the run
// state (resuming the CPUs of a guest that comes back paused), then makes
// sure the guest answers on its SSH port, first as it is, then after the
// guest agent re-initialised its network, then after up to link_bounces
// link bounces. True: `running` was emitted and supervision may begin.
// False: the resume failed, QEMU was killed and `run` ends with status 1.
// The snapshot at save_path is deleted either way, except when QEMU ended
// by itself before it was seen past "inmigrate" without saying that it
// could not load it: that snapshot was never loaded and is kept for the next
// start.
asio::awaitable<bool> resume(Supervisor& s);

}  // namespace kelvo
