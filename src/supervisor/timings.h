#pragma once

#include "common/awaitables.h"
#include "machine/powerdown.h"
#include "monitor/qga_client.h"
#include "monitor/qmp_client.h"

namespace kelvo {

// The guest reachability probe: a TCP connection to the forwarded SSH port
// within `connect`, then one read of up to 4 bytes within `read` that must
// return "SSH-".
struct ProbeTimings {
    milliseconds connect{2000};
    milliseconds read{3000};
};

// Every time limit of `run`. The defaults are the production values; tests
// shorten them.
struct RunTimings {
    // QMP: the connect window, then a bound on the greeting and capabilities
    // handshake (a peer that never speaks must not hold up start-up), and a
    // bound on each later reply (a wedged monitor must not hold up a stop).
    QmpConnectTiming qmp_connect{};
    milliseconds qmp_handshake_limit{5000};
    milliseconds qmp_reply_limit{5000};

    ProbeTimings probe{};
    milliseconds boot_probe_retry{2000};  // boot watcher: between probes

    milliseconds powerdown_limit{kPowerdownLimit};  // graceful powerdown → forced kill
    milliseconds quit_limit{3000};                  // a guest stopped for good: `quit` → kill
    milliseconds disk_retry{2000};                  // paused on a disk error: between room checks

    milliseconds hibernate_limit{300000};
    milliseconds migrate_poll{250};

    // Resume.
    int run_state_polls = 80;
    milliseconds run_state_poll{250};
    QgaTiming agent{};
    int agent_pings = 30;
    milliseconds agent_ping_retry{1000};
    milliseconds reinit_window{30000};  // probing after the re-init command
    milliseconds probe_interval{1000};  // between probes inside a window
    int link_bounces = 3;
    milliseconds link_pause{2000};     // link down → up
    milliseconds bounce_window{8000};  // probing after each bounce
    milliseconds clock_limit{5000};    // setting a resumed guest's clock
};

}  // namespace kelvo
