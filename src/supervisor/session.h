#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "common/child_process.h"
#include "config/helper_config.h"
#include "machine/snapshot.h"
#include "monitor/qmp_client.h"
#include "supervisor/control_requests.h"
#include "supervisor/timings.h"

namespace kelvo {

// What the supervisor owns while QEMU runs. Only the command's tasks touch
// it, and they share one strand: no two of them ever run at once.
struct Supervisor {
    Supervisor(const HelperConfig& config, const RunTimings& timings, Child qemu,
               std::shared_ptr<ControlChannel> control)
        : config(config),
          timings(timings),
          qemu(std::move(qemu)),
          port_owner(this->qemu.pid()),
          control(std::move(control)) {}

    const HelperConfig& config;
    const RunTimings& timings;
    Child qemu;  // killed with SIGKILL if dropped while running
    // The process whose socket serves the forwarded SSH port: QEMU's user
    // network listens there itself.
    pid_t port_owner;
    std::optional<QmpClient> qmp;  // absent: "QMP unavailable"
    std::shared_ptr<ControlChannel> control;
    std::optional<Clock::time_point> powerdown_deadline;
    bool hibernated = false;
    // A hibernation or a powerdown is under way: the boot watcher must not
    // say `running` meanwhile (a hibernation that fails and resumes the
    // guest lets it again).
    bool running_withheld = false;
    // What a snapshot of this VM is recorded with (machine/snapshot.h), and
    // the emulator version recorded with the snapshot being resumed.
    SnapshotSettings settings;
    std::string snapshot_emulator;
    // QEMU stopped the guest for good (internal error, panic): `run` reports
    // it and exits 1.
    bool failed = false;
    // Paused by QEMU on a disk error: the details of the last BLOCK_IO_ERROR
    // event (null before one), and when `cont` is next tried.
    bool disk_error = false;
    nlohmann::json block_io_error;
    std::optional<Clock::time_point> disk_retry;
    // QMP's event stream has ended (QEMU is going away).
    bool events_ended = false;
    // The supervision loop has seen QEMU end: nothing is said about the VM
    // after its end is reported (the boot watcher looks at this).
    bool ended = false;
};

// Connects to QEMU's monitor (QmpClient::connect) with a bound on the
// handshake after the connect window: a peer that accepts but never
// completes the handshake fails with "QMP handshake timed out".
asio::awaitable<std::expected<QmpClient, std::string>> connect_qmp(std::string path,
                                                                   const RunTimings& timings);

// QMP requests with a bound on the reply (qmp_reply_limit): a monitor that
// stops answering must not stall the supervisor. The caller checks that QMP
// is present.
asio::awaitable<std::expected<void, std::string>> qmp_call(
    Supervisor& s, std::string_view command, nlohmann::json arguments = nlohmann::json::object());
asio::awaitable<std::expected<nlohmann::json, std::string>> qmp_query(Supervisor& s,
                                                                      std::string_view command);
// `cont` and `quit`, outcomes ignored.
asio::awaitable<void> qmp_cont(Supervisor& s);
asio::awaitable<void> qmp_quit(Supervisor& s);

// SIGKILL unless QEMU's exit has been collected; does not wait.
void kill_qemu(Supervisor& s);
// True once QEMU has ended (its exit is then collected), or when it cannot
// be waited for at all.
bool qemu_ended(Supervisor& s);

// "qemu exited cleanly", "qemu exited with status {status}" or the error
// "waiting on qemu: {reason}".
void report_qemu_end(const std::expected<int, std::string>& status);

}  // namespace kelvo
