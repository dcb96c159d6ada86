#pragma once

#include <chrono>

#include "monitor/qga_client.h"
#include "monitor/qmp_client.h"

namespace kelvo {

// The guest reachability probe: a TCP connection to the forwarded SSH port
// within `connect`, then one read of up to 4 bytes within `read` that must
// return "SSH-".
struct ProbeTimings {
    std::chrono::milliseconds connect{2000};
    std::chrono::milliseconds read{3000};
};

// Every time limit of `run`. The defaults are the production values; tests
// shorten them.
struct RunTimings {
    // QMP: the connect window, then a bound on the greeting and capabilities
    // handshake (a peer that never speaks must not hold up start-up), and a
    // bound on each later reply (a wedged monitor must not hold up a stop).
    QmpConnectTiming qmp_connect{};
    std::chrono::milliseconds qmp_handshake_limit{5000};
    std::chrono::milliseconds qmp_reply_limit{5000};

    ProbeTimings probe{};
    std::chrono::milliseconds boot_probe_retry{2000};  // boot watcher: between probes

    std::chrono::milliseconds powerdown_limit{45000};  // graceful powerdown → forced kill

    std::chrono::milliseconds hibernate_limit{300000};
    std::chrono::milliseconds migrate_poll{250};

    // Resume.
    int run_state_polls = 80;
    std::chrono::milliseconds run_state_poll{250};
    QgaTiming agent{};
    int agent_pings = 30;
    std::chrono::milliseconds agent_ping_retry{1000};
    std::chrono::milliseconds reinit_window{30000};  // probing after the re-init command
    std::chrono::milliseconds probe_interval{1000};  // between probes inside a window
    int link_bounces = 3;
    std::chrono::milliseconds link_pause{2000};     // link down → up
    std::chrono::milliseconds bounce_window{8000};  // probing after each bounce
};

}  // namespace kelvo
