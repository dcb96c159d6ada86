#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <climits>
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
#include "machine/run_lock.h"

namespace kelvo {

namespace {

// How long start watches a booting VM before leaving it to itself.
constexpr std::chrono::seconds kBootWaitLimit{180};

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
        for (;;) {
            render_new_events(*follower);
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
            std::this_thread::sleep_for(kPollInterval);
        }
    }();
    child->detach();
    return result;
}

}  // namespace kelvo
