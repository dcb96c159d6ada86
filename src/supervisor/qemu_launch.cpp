#include "supervisor/qemu_launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "common/os_error.h"
#include "machine/qemu_args.h"

namespace kelvo {

namespace {

// Closes a descriptor of this process at the end of the scope.
struct ScopedFd {
    int fd;
    ~ScopedFd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

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
    const std::string log_path = run_dir_file(config, "qemu.log");
    const ScopedFd log{::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)};
    if (log.fd < 0) return std::unexpected("create qemu.log: " + last_os_error());
    const ScopedFd log_err{::fcntl(log.fd, F_DUPFD_CLOEXEC, 0)};
    if (log_err.fd < 0) return std::unexpected("dup qemu.log: " + last_os_error());

    SpawnOptions options;
    options.program = std::string(emulator);
    options.args = std::move(args);
    options.in = Redirect::null();
    options.out = Redirect::to_fd(log.fd);
    options.err = Redirect::to_fd(log_err.fd);
    options.kill_on_drop = true;
    auto child = spawn(options);
    if (!child)
        return std::unexpected(fmt::format("failed to spawn {}: {}", emulator, child.error()));
    return std::move(*child);
}

}  // namespace kelvo
