#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "cli/commands.h"
#include "cli/event_render.h"
#include "cli/log_follower.h"
#include "cli/port_probe.h"
#include "cli/process_table.h"
#include "common/child_process.h"
#include "common/files.h"
#include "common/os_error.h"
#include "common/output.h"
#include "common/progress_line.h"
#include "machine/run_lock.h"
#include "machine/snapshot.h"

namespace kelvo {

namespace {

// How long start watches a booting VM before leaving it to itself.
constexpr std::chrono::seconds kBootWaitLimit{180};

// How much of the console's end the status line reads each time (4 KiB).
constexpr size_t kConsoleTail = 4096;
// The helper's log lines of its resume steps begin so.
constexpr std::string_view kResumeStep = "resume: ";

// What start's status line says while it waits: how long it has waited, for
// what, and the last line the guest wrote on its serial console. A resume
// says its phase instead, as the helper's events and the snapshot file show
// it: the snapshot loads until the guest runs (the helper removes the file
// then), the guest is probed, and then come the helper's own resume steps.
class BootStatus {
  public:
    // Until the helper's events tell, a snapshot means a resume.
    explicit BootStatus(const VmEntry& vm)
        : vm_(vm), resume_guess_(snapshot_present(vm.config.save_path)) {}

    // The event right after "starting" tells: "restoring", or a cold boot.
    void seen(const EventText& event) {
        if (event.event == "state" && event.text == "starting") {
            started_ = true;
        } else if (started_ && !resuming_) {
            resuming_ = event.event == "state" && event.text == "restoring";
        } else if (resuming_.value_or(false) && event.event == "log" &&
                   event.text.starts_with(kResumeStep)) {
            step_ = event.text.substr(kResumeStep.size());
        }
    }

    std::string text(std::chrono::steady_clock::duration elapsed) const {
        std::string what;
        if (!resuming_.value_or(resume_guess_))
            what = fmt::format("waiting for sshd on 127.0.0.1:{}", vm_.config.ssh_host_port);
        else if (snapshot_present(vm_.config.save_path))
            what = "resuming: loading the snapshot";
        else
            what = fmt::format("resuming: {}", step_.empty() ? "probing the guest" : step_);
        std::string line = fmt::format("{}  {}", format_seconds(elapsed), what);
        if (const std::string console = console_line(); !console.empty()) line += " — " + console;
        return line;
    }

  private:
    // The console's last line, once QEMU writes the console of this boot (it
    // empties the file when it starts).
    std::string console_line() const {
        auto tail = read_file_tail(vm_.config.console_log_path, kConsoleTail);
        if (!tail || tail->modified < since_) return {};
        return last_console_line(tail->bytes);
    }

    const VmEntry& vm_;
    const std::chrono::system_clock::time_point since_ = std::chrono::system_clock::now();
    const bool resume_guess_;
    bool started_ = false;
    std::optional<bool> resuming_;
    std::string step_;
};

std::expected<std::string, std::string> own_executable() {
    std::string buffer(PATH_MAX, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::unexpected(fmt::format("resolve own binary: {}", last_os_error()));
        if (static_cast<size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

CommandResult start_command(const VmEntry& vm, const std::vector<std::string>&) {
    const HelperLookup helper = lookup_helper(vm);
    if (helper.pid)
        return std::unexpected(
            fmt::format("'{}' is already running (helper pid {})", vm.shown, *helper.pid));
    if (helper.runs)
        return std::unexpected(fmt::format("'{}' is already running (another helper holds {})",
                                           vm.shown, run_lock_path(vm.config)));
    if (const auto qemus = find_vm_qemu_pids(vm.config.disk_path); !qemus.empty())
        return std::unexpected(
            fmt::format("'{}' is already running (QEMU pid {} without a helper — end it with: "
                        "kelvo-vmhelper stop {} --force)",
                        vm.shown, qemus.front(), vm.shown));
    if (!path_exists(vm.config.disk_path))
        return std::unexpected(fmt::format(
            "'{}' has no disk yet — it was never provisioned (create/start it from Kelvo once)",
            vm.shown));
    auto exe = own_executable();
    if (!exe) return std::unexpected(exe.error());
    // The run lock is taken before anything is truncated, and handed to the
    // helper: of two starts at once, one finds it held.
    auto lock = try_lock_run(vm.config);
    if (!lock) return std::unexpected(lock.error());
    if (!*lock)
        return std::unexpected(fmt::format("'{}' is already running (another helper holds {})",
                                           vm.shown, run_lock_path(vm.config)));

    const auto log_path = event_log_path(vm);
    // O_NONBLOCK: a named pipe in place of the log fails instead of waiting for
    // a reader; a regular file is not affected. The log is the owner's alone,
    // and a link in its place is replaced, never written through.
    auto out = open_private_file(log_path, O_TRUNC | O_NONBLOCK);
    if (!out)
        return std::unexpected(fmt::format("create {}: {}", path_text(log_path), out.error()));
    // The helper writes with ordinary blocking writes.
    (void)::fcntl(out->get(), F_SETFL, ::fcntl(out->get(), F_GETFL) & ~O_NONBLOCK);
    const UniqueFd err(::fcntl(out->get(), F_DUPFD_CLOEXEC, 0));
    if (!err.valid()) return std::unexpected(fmt::format("clone log handle: {}", last_os_error()));

    SpawnOptions options;
    options.program = *exe;
    options.args = {"run", "--config", config_path_text(vm)};
    options.in = Redirect::null();
    options.out = Redirect::to_fd(out->get());
    options.err = Redirect::to_fd(err.get());
    options.pass_fd = (*lock)->get();
    options.new_session = true;
    options.kill_on_drop = false;  // the helper outlives this command
    auto child = spawn(options);
    if (!child) return std::unexpected(fmt::format("spawn helper: {}", child.error()));
    print_stdout(fmt::format("started '{}' (helper pid {}) — booting…\n", vm.shown, child->pid()));

    auto result = [&]() -> CommandResult {
        auto follower = open_log_follower(log_path, 0);
        if (!follower) return std::unexpected(follower.error());
        const auto deadline = std::chrono::steady_clock::now() + kBootWaitLimit;
        const uint16_t port = vm.config.ssh_host_port;
        ProgressLine progress(STDOUT_FILENO);
        BootStatus status(vm);
        for (;;) {
            render_new_events(*follower, [&](const EventText& event) { status.seen(event); });
            if (port_open(port)) {
                print_stdout(
                    fmt::format("'{}' is running — guest sshd on 127.0.0.1:{}\n", vm.shown, port));
                return {};
            }
            if (const auto state = child->try_wait(); state && state->ended) {
                render_new_events(*follower);
                return std::unexpected(
                    fmt::format("helper exited during boot — see {}", path_text(log_path)));
            }
            if (std::chrono::steady_clock::now() > deadline) {
                print_stdout(fmt::format(
                    "still booting (no sshd yet) — follow with: kelvo-vmhelper logs {} -f\n",
                    vm.shown));
                return {};
            }
            if (progress.active()) progress.show(status.text(progress.elapsed()));
            std::this_thread::sleep_for(kPollInterval);
        }
    }();
    child->detach();
    return result;
}

}  // namespace kelvo
