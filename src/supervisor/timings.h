#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "monitor/qga_client.h"
#include "monitor/qmp_client.h"

namespace kelvo {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

    milliseconds powerdown_limit{45000};  // graceful powerdown → forced kill
    milliseconds quit_limit{3000};        // a guest stopped for good: `quit` → kill
    milliseconds disk_retry{2000};        // paused on a disk error: between room checks

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

// Suspends the task until the instant (Clock::time_point::max(): for ever);
// returns early (quietly) only when the wait is cancelled because it lost a
// race.
inline asio::awaitable<void> sleep_until(Clock::time_point when) {
    asio::steady_timer timer(co_await asio::this_coro::executor, when);
    (void)co_await timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
}

inline asio::awaitable<void> sleep_for(milliseconds duration) {
    co_await sleep_until(Clock::now() + duration);
}

// Runs op, giving it at most limit; on expiry op is cancelled and the result
// is the error text expired.
template <typename T>
asio::awaitable<std::expected<T, std::string>> within(
    asio::awaitable<std::expected<T, std::string>> op, milliseconds limit,
    std::string_view expired) {
    using namespace asio::experimental::awaitable_operators;
    auto result = co_await (std::move(op) || sleep_for(limit));
    if (result.index() == 0) co_return std::move(std::get<0>(result));
    co_return std::unexpected(std::string(expired));
}

}  // namespace kelvo
