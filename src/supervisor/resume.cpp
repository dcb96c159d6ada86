#include "supervisor/resume.h"

#include <unistd.h>

#include <fmt/format.h>

#include "common/files.h"
#include "events/events.h"
#include "machine/run_dir.h"
#include "machine/snapshot.h"
#include "monitor/qga_client.h"
#include "supervisor/boot.h"

namespace kelvo {

namespace {

static_assert(kNetworkReinitCommand.size() == 125);

constexpr std::string_view kResumeFailed =
    "resume failed: guest networking didn't recover (no qemu-guest-agent?) — discarded "
    "snapshot; start again for a cold boot";
constexpr std::string_view kSnapshotNotLoaded =
    "resume failed: qemu exited before the snapshot was loaded — kept snapshot; start again to "
    "retry the resume, or move {} aside to boot cold (its saved RAM state is then lost)";
constexpr std::string_view kOtherEmulator =
    "resume failed: qemu {0} could not load the snapshot taken with qemu {1} — kept snapshot; "
    "resume it with qemu {1}, or remove {2} to boot cold";

// True when QEMU said in its log that it could not load the snapshot
// ("load of migration failed: Invalid argument"): such a snapshot is of no
// use to a later start either.
bool snapshot_rejected(const Supervisor& s) {
    return read_regular_file(qemu_log_path(s.config), 64 * 1024)
               .value_or("")
               .find("load of migration failed") != std::string::npos;
}

asio::awaitable<bool> guest_reachable(Supervisor& s) {
    co_return co_await guest_answers(s);
}

// Probes every probe_interval until the guest answers or the window closes.
// Gives up early once QEMU has ended: a guest that is gone cannot answer.
asio::awaitable<bool> reachable_within(Supervisor& s, milliseconds window) {
    const auto deadline = Clock::now() + window;
    while (Clock::now() < deadline && !qemu_ended(s)) {
        if (co_await guest_reachable(s)) co_return true;
        co_await sleep_for(s.timings.probe_interval);
    }
    co_return false;
}

// A guest restored from a snapshot taken while paused comes back "paused":
// its CPUs have to be resumed with `cont`. True once QEMU was seen past
// "inmigrate", that is with the snapshot loaded. From the moment the guest
// runs it writes to its disk, and the snapshot no longer matches it: it is
// removed then, so that no later start (after a forced stop, say) can load
// it again.
asio::awaitable<bool> wait_for_run_state(Supervisor& s) {
    bool loaded = false;
    for (int poll = 0; poll < s.timings.run_state_polls; ++poll) {
        auto reply = co_await qmp_query(s, "query-status");
        if (!reply) break;
        const std::string status = QmpClient::status_of(*reply);
        loaded = loaded || (status != "inmigrate" && status != "unknown");
        if (status == "running") {
            remove_snapshot(s.config.save_path);
            break;
        }
        if (status == "paused") {
            co_await qmp_cont(s);
            remove_snapshot(s.config.save_path);
        }
        co_await sleep_for(s.timings.run_state_poll);
    }
    co_return loaded;
}

// Asks the guest agent to restart the guest's networking, then probes.
asio::awaitable<bool> reinit_through_agent(Supervisor& s) {
    auto agent = co_await QgaClient::connect(agent_socket_path(s.config), s.timings.agent);
    if (!agent) {
        emit_log("resume: guest agent channel unavailable: " + agent.error());
        co_return false;
    }
    bool answered = false;
    for (int ping = 0; ping < s.timings.agent_pings && !answered && !qemu_ended(s); ++ping) {
        if (ping > 0) co_await sleep_for(s.timings.agent_ping_retry);
        answered = (co_await agent->call(qga_ping_request())).has_value();
    }
    if (!answered) {
        emit_log("resume: guest agent didn't respond (VM may lack qemu-guest-agent)");
        co_return false;
    }
    (void)co_await agent->call(qga_exec_request(kNetworkReinitCommand));
    emit_log("resume: guest agent re-initializing networking");
    co_return co_await reachable_within(s, s.timings.reinit_window);
}

nlohmann::json link_state(bool up) {
    nlohmann::json arguments = nlohmann::json::object();
    arguments["name"] = "net0";
    arguments["up"] = up;
    return arguments;
}

// Takes the virtual link down and up again, so the guest renews its lease.
asio::awaitable<bool> bounce_link(Supervisor& s) {
    for (int attempt = 1; attempt <= s.timings.link_bounces && !qemu_ended(s); ++attempt) {
        if (co_await qmp_call(s, "set_link", link_state(false))) {
            co_await sleep_for(s.timings.link_pause);
            (void)co_await qmp_call(s, "set_link", link_state(true));
        }
        emit_log(fmt::format("resume: NIC bounce fallback {}", attempt));
        if (co_await reachable_within(s, s.timings.bounce_window)) co_return true;
    }
    co_return false;
}

}  // namespace

asio::awaitable<bool> resume(Supervisor& s) {
    // 1. Wait for the guest to run.
    bool loaded = false;
    if (s.qmp) loaded = co_await wait_for_run_state(s);
    // 2. Probe it as it is, 3. after the guest agent re-initialised its
    // network, 4. after link bounces.
    bool reachable = co_await guest_reachable(s);
    if (!reachable && !qemu_ended(s)) reachable = co_await reinit_through_agent(s);
    if (!reachable && s.qmp && !qemu_ended(s)) reachable = co_await bounce_link(s);

    // 5. Give up, keeping the snapshot only if it was never loaded,
    if (!reachable) {
        // A QEMU that ended by itself (a snapshot it could not load, say)
        // is reported before the failure.
        if (const auto status = s.qemu.status()) report_qemu_end(*status);
        const std::string emulator = s.qmp ? s.qmp->version() : "";
        if (qemu_ended(s) && !loaded && !emulator.empty() && !s.snapshot_emulator.empty() &&
            emulator != s.snapshot_emulator) {
            // Another emulator version may simply not read the stream: the
            // snapshot stays for the version that wrote it.
            emit_error(
                fmt::format(kOtherEmulator, emulator, s.snapshot_emulator, s.config.save_path));
            co_return false;
        }
        if (qemu_ended(s) && !loaded && !snapshot_rejected(s)) {
            // The guest never ran from the snapshot (QEMU could not bind
            // its SSH port, say): it still matches the disk, so the next
            // start can load it again.
            emit_error(fmt::format(kSnapshotNotLoaded, s.config.save_path));
            co_return false;
        }
        // A guest that has run from the snapshot has moved its disk on:
        // loading the snapshot again would not match the disk.
        emit_error(kResumeFailed);
        remove_snapshot(s.config.save_path);
        kill_qemu(s);
        co_return false;
    }
    // 6. or report the guest running and drop the snapshot.
    emit_running(s.config.ssh_host_port);
    remove_snapshot(s.config.save_path);
    emit_log("resume: networking restored, guest reachable");
    co_return true;
}

}  // namespace kelvo
