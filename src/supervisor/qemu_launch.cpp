#include "supervisor/qemu_launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "common/os_error.h"
#include "common/private_file.h"
#include "machine/run_dir.h"

namespace kelvo {

bool snapshot_present(const std::string& save_path) {
    struct stat st;
    return !save_path.empty() && ::stat(save_path.c_str(), &st) == 0 && st.st_size > 0;
}

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
    const std::string log_path = run_dir_file(config, "qemu.log");
    auto log = open_private_file(log_path, O_TRUNC);
    if (!log) return std::unexpected("create qemu.log: " + log.error());
    const UniqueFd log_err(::fcntl(log->get(), F_DUPFD_CLOEXEC, 0));
    if (!log_err.valid()) return std::unexpected("dup qemu.log: " + last_os_error());
    // (A console log that cannot be made here is QEMU's to report.)
    if (!config.console_log_path.empty()) (void)open_private_file(config.console_log_path, 0);

    SpawnOptions options;
    options.program = std::string(emulator);
    options.args = std::move(args);
    options.in = Redirect::null();
    options.out = Redirect::to_fd(log->get());
    options.err = Redirect::to_fd(log_err.get());
    options.umask = 077;
    options.kill_on_drop = true;
    auto child = spawn(options);
    if (!child)
        return std::unexpected(fmt::format("failed to spawn {}: {}", emulator, child.error()));
    return std::move(*child);
}

}  // namespace kelvo
