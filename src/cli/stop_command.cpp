#include <unistd.h>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <span>
#include <thread>

#include <fmt/format.h>

#include "cli/commands.h"
#include "cli/event_render.h"
#include "cli/log_follower.h"
#include "cli/process_table.h"
#include "cli/sizes.h"
#include "common/files.h"
#include "common/output.h"
#include "common/progress_line.h"
#include "machine/powerdown.h"
#include "machine/snapshot.h"

namespace kelvo {

namespace {

// How long stop waits for the helper after SIGTERM or SIGKILL.
constexpr std::chrono::seconds kStopWaitLimit{75};
// How long hibernate waits for the helper to save and exit.
constexpr std::chrono::seconds kHibernateWaitLimit{600};

// Polls every `interval` until each of `pids` has exited, or `limit` has
// passed: then the error is timed_out(the pid still alive). `each_poll` runs
// after every look at the processes, told whether they have all exited; a
// message it returns while one is still alive ends the wait with that error.
CommandResult wait_for_exit(std::span<const uint32_t> pids, std::chrono::milliseconds limit,
                            std::chrono::milliseconds interval,
                            const std::function<std::string(uint32_t)>& timed_out,
                            const std::function<std::optional<std::string>(bool)>& each_poll) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::optional<uint32_t> alive;
        for (uint32_t pid : pids) {
            if (process_alive(pid)) {
                alive = pid;
                break;
            }
        }
        const auto stopped = each_poll ? each_poll(!alive) : std::nullopt;
        if (!alive) return {};
        if (stopped) return std::unexpected(*stopped);
        if (std::chrono::steady_clock::now() > deadline) return std::unexpected(timed_out(*alive));
        std::this_thread::sleep_for(interval);
    }
}

// Echoes the helper's new events; the message of an `error` among them.
std::optional<std::string> render_new_lines(std::optional<LogFollower>& follower) {
    if (!follower) return std::nullopt;
    return render_new_events(*follower);
}

// After a forced stop no one finishes a hibernation's partial snapshot; it
// holds the guest's memory, as large as its RAM.
void remove_partial_snapshot(const VmEntry& vm) {
    if (!vm.config.save_path.empty())
        (void)::unlink(partial_snapshot_path(vm.config.save_path).c_str());
}

// What stop's status line says: how long it has waited against the limit
// that applies now.
std::string stop_status(bool force, std::chrono::steady_clock::duration elapsed) {
    const std::string waited = format_seconds(elapsed);
    if (force)
        return fmt::format("ending the helper … {} of {}", waited, format_seconds(kStopWaitLimit));
    if (elapsed < kPowerdownLimit)
        return fmt::format("powering down … {} of {}", waited, format_seconds(kPowerdownLimit));
    return fmt::format("the helper forces the powerdown … {} of {}", waited,
                       format_seconds(kStopWaitLimit));
}

// What hibernate's status line says: how much of the snapshot is written
// (the partial file grows until it is complete), how fast, for how long.
std::string hibernate_status(const VmEntry& vm, uint64_t& written,
                             std::chrono::steady_clock::duration elapsed) {
    if (const auto size = file_size(partial_snapshot_path(vm.config.save_path))) written = *size;
    return fmt::format("saving RAM+device state … {}, {}", format_transfer(written, elapsed),
                       format_seconds(elapsed));
}

// A QEMU whose helper was killed runs on unsupervised: only --force ends it.
CommandResult stop_orphaned_qemu(const VmEntry& vm, bool force) {
    const auto qemus = find_vm_qemu_pids(vm.config.disk_path);
    if (qemus.empty()) return std::unexpected(fmt::format("'{}' is not running", vm.shown));
    if (!force)
        return std::unexpected(
            fmt::format("'{}' has no helper; its QEMU (pid {}) runs unsupervised — end it with: "
                        "kelvo-vmhelper stop {} --force",
                        vm.shown, qemus.front(), vm.shown));
    print_stdout(fmt::format("force-killing '{}' (QEMU pid {} without a helper)…\n", vm.shown,
                             qemus.front()));
    for (uint32_t qemu : qemus) (void)send_signal(qemu, SIGKILL);
    const auto ended = wait_for_exit(
        qemus, kStopWaitLimit, kPollInterval / 5,
        [](uint32_t qemu) { return fmt::format("QEMU (pid {}) did not exit", qemu); }, {});
    if (!ended) return ended;
    remove_partial_snapshot(vm);
    print_stdout(fmt::format("'{}' stopped\n", vm.shown));
    return {};
}

}  // namespace

CommandResult stop_command(const VmEntry& vm, const std::vector<std::string>& args) {
    const bool force = has_flag(args, "--force");
    const HelperLookup helper = lookup_helper(vm);
    // Under a helper that holds the run lock QEMU is supervised: without the
    // helper's pid there is nothing to stop, and QEMU is not cut off.
    if (!helper.pid)
        return helper.runs ? std::unexpected(unfound_helper_message(vm))
                           : stop_orphaned_qemu(vm, force);
    const auto& pid = helper.pid;
    auto follower = follow_from_end(event_log_path(vm));

    ProgressLine progress(STDOUT_FILENO);
    if (!force) {
        print_stdout(
            fmt::format("stopping '{}' (graceful powerdown, helper pid {})…\n", vm.shown, *pid));
        if (auto sent = send_signal(*pid, SIGTERM); !sent) return sent;
    } else {
        print_stdout(fmt::format("force-killing '{}' (helper pid {})…\n", vm.shown, *pid));
        if (auto sent = send_signal(*pid, SIGKILL); !sent) return sent;
        // The killed helper cannot end its QEMU: end every QEMU of this disk.
        // The table is read after the kill so that a QEMU the helper started
        // a moment ago is not missed.
        for (uint32_t qemu : find_vm_qemu_pids(vm.config.disk_path))
            (void)send_signal(qemu, SIGKILL);
    }

    const uint32_t helpers[] = {*pid};
    const auto ended = wait_for_exit(
        helpers, kStopWaitLimit, kPollInterval,
        [&](uint32_t) {
            return fmt::format(
                "helper (pid {}) did not exit — retry with: kelvo-vmhelper stop {} --force", *pid,
                vm.shown);
        },
        [&](bool exited) {
            (void)render_new_lines(follower);
            if (!exited) progress.show(stop_status(force, progress.elapsed()));
            return std::nullopt;
        });
    if (!ended) return ended;
    if (force) remove_partial_snapshot(vm);
    print_stdout(fmt::format("'{}' stopped\n", vm.shown));
    return {};
}

CommandResult hibernate_command(const VmEntry& vm, const std::vector<std::string>&) {
    const HelperLookup helper = lookup_helper(vm);
    const auto& pid = helper.pid;
    if (!pid)
        return std::unexpected(helper.runs ? unfound_helper_message(vm)
                                           : fmt::format("'{}' is not running", vm.shown));
    if (vm.config.save_path.empty())
        return std::unexpected(
            fmt::format("cannot hibernate '{}': save_path not set in helper.json", vm.shown));
    print_stdout(fmt::format("hibernating '{}' (saving RAM+device state)…\n", vm.shown));
    auto follower = follow_from_end(event_log_path(vm));
    ProgressLine progress(STDOUT_FILENO);
    uint64_t written = 0;
    if (auto sent = send_signal(*pid, SIGUSR1); !sent) return sent;

    // A helper that refused or failed the hibernation runs on: its error is
    // the answer.
    const uint32_t helpers[] = {*pid};
    const auto ended = wait_for_exit(
        helpers, kHibernateWaitLimit, kPollInterval,
        [](uint32_t) {
            return std::string("helper is still saving after 10 minutes — check 'logs'");
        },
        [&](bool exited) {
            auto failed = render_new_lines(follower);
            if (!exited && progress.active())
                progress.show(hibernate_status(vm, written, progress.elapsed()));
            return failed;
        });
    if (!ended) return ended;
    if (!snapshot_present(vm.config.save_path))
        return std::unexpected(fmt::format("helper exited but no snapshot was written — see {}",
                                           path_text(event_log_path(vm))));
    const uint64_t size = file_size(vm.config.save_path).value_or(0);
    print_stdout(fmt::format("'{}' hibernated ({} MiB snapshot) — 'start' resumes it\n", vm.shown,
                             format_whole_mib(size)));
    return {};
}

}  // namespace kelvo
