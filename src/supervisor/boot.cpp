#include "supervisor/boot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>

#include <fmt/format.h>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/files.h"
#include "common/os_error.h"
#include "common/unique_fd.h"
#include "events/events.h"
#include "machine/qemu_args.h"
#include "machine/run_dir.h"
#include "supervisor/forwarded_port.h"

namespace kelvo {

std::string launching_line(const HelperConfig& config, std::string_view emulator, bool resuming) {
    return fmt::format("launching {} (cpu={}, mem={}MiB, sshd→127.0.0.1:{}{})", emulator,
                       config.cpu_count, config.memory_mib, config.ssh_host_port,
                       resuming ? ", resuming from snapshot" : "");
}

std::expected<Child, std::string> spawn_qemu(const HelperConfig& config, std::string_view emulator,
                                             std::vector<std::string> args) {
    // QEMU's log and the serial console carry what the guest prints: they
    // are the owner's alone, and so is everything QEMU creates (the
    // snapshot its migration writes included).
    // Neither is ever waited on: a FIFO or a device at qemu.log is replaced
    // by a new log, and one at the console log's path (which the owner
    // chose) is refused before QEMU starts.
    const std::string log_path = qemu_log_path(config);
    if (struct stat st; ::lstat(log_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
                        !S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode))
        (void)::unlink(log_path.c_str());
    auto log = open_private_file(log_path, O_TRUNC);
    if (!log) return std::unexpected(fmt::format("create {}: {}", kQemuLogName, log.error()));
    const UniqueFd log_err(::fcntl(log->get(), F_DUPFD_CLOEXEC, 0));
    if (!log_err.valid())
        return std::unexpected(fmt::format("dup {}: {}", kQemuLogName, last_os_error()));
    if (const std::string& console = config.console_log_path; !console.empty()) {
        if (struct stat st;
            ::lstat(console.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            return std::unexpected(fmt::format("console log {}: {}", console, kNotRegularFile));
        // (A console log that cannot be made here is QEMU's to report.)
        (void)open_private_file(console, 0);
    }

    SpawnOptions options;
    options.program = std::string(emulator);
    options.args = std::move(args);
    options.in = Redirect::null();
    options.out = Redirect::to_fd(log->get());
    options.err = Redirect::to_fd(log_err.get());
    options.umask = 077;
    // Only the supervisor turns a terminal's Ctrl-C into a powerdown; sent
    // to QEMU as well, it would end the guest at once.
    options.own_process_group = true;
    options.kill_on_drop = true;
    auto child = spawn(options);
    if (!child)
        return std::unexpected(fmt::format("failed to spawn {}: {}", emulator, child.error()));
    return std::move(*child);
}

asio::awaitable<bool> probe_ssh(uint16_t port, ProbeTimings timings) {
    using namespace asio::experimental::awaitable_operators;
    using asio::ip::tcp;
    tcp::socket socket(co_await asio::this_coro::executor);
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);

    // 1. Connect, within the connect limit.
    auto connected = co_await (
        socket.async_connect(endpoint, asio::experimental::as_tuple(asio::use_awaitable)) ||
        sleep_for(timings.connect));
    if (connected.index() != 0 || std::get<0>(std::get<0>(connected))) co_return false;

    // 2. Read the start of the banner, within the read limit.
    std::array<char, 4> banner{};
    auto read =
        co_await (socket.async_read_some(asio::buffer(banner),
                                         asio::experimental::as_tuple(asio::use_awaitable)) ||
                  sleep_for(timings.read));
    if (read.index() != 0) co_return false;
    const auto [ec, n] = std::get<0>(read);
    co_return !ec && std::string_view(banner.data(), n) == "SSH-";
}

asio::awaitable<bool> guest_answers(const Supervisor& s) {
    const uint16_t port = s.config.ssh_host_port;
    co_return co_await probe_ssh(port, s.timings.probe) &&
        listener_held_by(s.port_owner, port).value_or(true);
}

asio::awaitable<void> watch_boot(const Supervisor& s) {
    const uint16_t port = s.config.ssh_host_port;
    while (!s.ended) {
        // An answer that comes while a hibernation or a powerdown is under
        // way is not told; the watch goes on in case the guest runs on.
        if (co_await guest_answers(s) && !s.ended && !s.running_withheld) {
            emit_running(port);
            co_return;
        }
        co_await sleep_for(s.timings.boot_probe_retry);
    }
}

}  // namespace kelvo
