#include "supervisor/supervisor.h"

#include <variant>

#include <fmt/format.h>
#include <asio/experimental/awaitable_operators.hpp>

#include "events/events.h"
#include "supervisor/hibernate.h"
#include "supervisor/run_state.h"

namespace kelvo {

namespace {

// What ended one wait of the supervision loop.
struct Wake {
    enum Kind { QemuEnded, Request, Deadline, QmpEvent } kind;
    std::expected<int, std::string> status{0};  // for QemuEnded
    nlohmann::json event{};                     // for QmpEvent
};

// The next event QEMU's monitor sends; never, without a monitor or once its
// stream has ended.
asio::awaitable<std::expected<nlohmann::json, std::string>> monitor_event(Supervisor& s) {
    if (s.qmp && !s.events_ended) co_return co_await s.qmp->next_event();
    co_await sleep_until(Clock::time_point::max());
    co_return std::unexpected(std::string("no monitor"));
}

// The earlier of the powerdown deadline and the next disk-error retry; the
// far future when neither is armed.
Clock::time_point next_deadline(const Supervisor& s) {
    Clock::time_point when = s.powerdown_deadline.value_or(Clock::time_point::max());
    if (s.disk_retry && *s.disk_retry < when) when = *s.disk_retry;
    return when;
}

asio::awaitable<Wake> next_wake(Supervisor& s) {
    using namespace asio::experimental::awaitable_operators;
    if (s.hibernated) {
        // QEMU has been quit and killed; requests for it are moot.
        co_return Wake{Wake::QemuEnded, co_await async_wait(s.qemu)};
    }
    auto woke = co_await (async_wait(s.qemu) || s.control->wait() ||
                          sleep_until(next_deadline(s)) || monitor_event(s));
    switch (woke.index()) {
        case 0:
            co_return Wake{Wake::QemuEnded, std::move(std::get<0>(woke))};
        case 1:
            co_return Wake{Wake::Request};
        case 2:
            co_return Wake{Wake::Deadline};
        default: {
            auto& event = std::get<3>(woke);
            if (!event) {
                s.events_ended = true;
                co_return Wake{Wake::QmpEvent};
            }
            co_return Wake{Wake::QmpEvent, 0, std::move(*event)};
        }
    }
}

asio::awaitable<void> handle(Supervisor& s, ControlRequest request) {
    switch (request) {
        case ControlRequest::Stop:
        case ControlRequest::InputClosed:
            co_await graceful_powerdown(s);
            break;
        case ControlRequest::Kill:
            co_await hard_kill(s);
            break;
        case ControlRequest::Hibernate:
            co_await hibernate(s);
            break;
    }
}

}  // namespace

asio::awaitable<void> graceful_powerdown(Supervisor& s) {
    s.running_withheld = true;  // a guest shutting down is not announced
    emit_log("graceful powerdown requested");
    if (!s.qmp) {
        kill_qemu(s);
    } else if (auto done = co_await qmp_call(s, "system_powerdown"); !done) {
        emit_log(fmt::format("powerdown failed ({}); will force", done.error()));
        kill_qemu(s);
    }
    s.powerdown_deadline = Clock::now() + s.timings.powerdown_limit;
}

asio::awaitable<void> hard_kill(Supervisor& s) {
    s.running_withheld = true;
    emit_log("hard kill requested");
    if (s.qmp) co_await qmp_quit(s);
    kill_qemu(s);
}

asio::awaitable<void> powerdown_timed_out(Supervisor& s) {
    emit_log("powerdown timed out; forcing");
    if (s.qmp) co_await qmp_quit(s);
    kill_qemu(s);
    s.powerdown_deadline.reset();
}

asio::awaitable<void> supervise(Supervisor& s) {
    for (;;) {
        // 1. Wait for QEMU's end, a request or the powerdown deadline.
        Wake wake = co_await next_wake(s);

        // 2. QEMU's end and a request both ready: the end wins, since a
        //    request for a VM that is gone can only fail.
        if (wake.kind == Wake::Request) {
            if (auto state = s.qemu.try_wait(); state && state->ended)
                wake = {Wake::QemuEnded, state->status};
        }

        // 3. QEMU ended: report it and stop supervising.
        if (wake.kind == Wake::QemuEnded) {
            s.ended = true;
            if (s.disk_error) clear_disk_error_marker(s.config);
            report_qemu_end(wake.status);
            if (!s.hibernated) emit_state(VmState::Stopped);
            co_return;
        }

        // 4. The powerdown took too long: force it. (Or it is time to see
        //    whether a guest paused on a disk error can go on.)
        if (wake.kind == Wake::Deadline) {
            if (s.powerdown_deadline && Clock::now() >= *s.powerdown_deadline)
                co_await powerdown_timed_out(s);
            else if (s.disk_retry)
                co_await retry_after_disk_error(s);
            continue;
        }

        // 5. QEMU's monitor told of a change: see what its run state is now.
        if (wake.kind == Wake::QmpEvent) {
            co_await on_qmp_event(s, wake.event);
            continue;
        }

        // 6. Handle the oldest request.
        if (auto request = s.control->try_receive()) co_await handle(s, *request);
    }
}

}  // namespace kelvo
