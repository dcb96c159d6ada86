#include "cli/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <fmt/format.h>

#include "cli/vm_store.h"
#include "common/text.h"
#include "common/unique_fd.h"

namespace kelvo {

namespace {

// Reads the whole of a small /proc file relative to dir_fd; false on failure.
bool read_proc_file(int dir_fd, const std::string& relative, std::string& out) {
    const UniqueFd fd(::openat(dir_fd, relative.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    out.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
    }
}

// Calls visit for each NUL-separated argument until it returns true.
template <typename Visit>
bool any_argument(std::string_view cmdline, Visit visit) {
    while (!cmdline.empty()) {
        const size_t nul = cmdline.find('\0');
        if (visit(cmdline.substr(0, nul))) return true;
        if (nul == std::string_view::npos) break;
        cmdline.remove_prefix(nul + 1);
    }
    return false;
}

bool has_run_argument(std::string_view cmdline) {
    return any_argument(cmdline, [](std::string_view arg) { return arg == "run"; });
}

uint32_t own_pid() {
    return static_cast<uint32_t>(::getpid());
}

}  // namespace

std::optional<uint32_t> parse_pid(std::string_view name) {
    unsigned long long value = 0;
    if (!parse_unsigned(name, UINT32_MAX, value)) return std::nullopt;
    return static_cast<uint32_t>(value);
}

void walk_processes(const std::function<bool(const ProcessInfo&)>& visit) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return;
    const int proc_fd = ::dirfd(proc);
    ProcessInfo info;
    std::string relative;
    while (const dirent* entry = ::readdir(proc)) {
        const auto pid = parse_pid(entry->d_name);
        if (!pid) continue;
        relative.assign(entry->d_name);
        relative.append("/cmdline");
        if (!read_proc_file(proc_fd, relative, info.cmdline)) continue;
        info.pid = *pid;
        if (!visit(info)) break;
    }
    ::closedir(proc);
}

bool is_helper_cmdline(std::string_view cmdline, std::string_view config_path_text) {
    return has_run_argument(cmdline) &&
           any_argument(cmdline, [&](std::string_view arg) { return arg == config_path_text; });
}

bool is_vm_qemu_cmdline(std::string_view cmdline, std::string_view disk_path) {
    // An empty path would name no disk at all: never a match.
    if (disk_path.empty()) return false;
    if (cmdline.find("qemu-system") == std::string_view::npos) return false;
    // The system disk's drive argument ends in "file=" and exactly the path
    // ("if=virtio,format=qcow2,file=/v/a/disk.qcow2"): a path that merely
    // begins or ends another VM's path names another disk.
    const std::string suffix = "file=" + std::string(disk_path);
    return any_argument(cmdline, [&](std::string_view arg) {
        return arg.ends_with(suffix) &&
               (arg.size() == suffix.size() || arg[arg.size() - suffix.size() - 1] == ',');
    });
}

ProcessTable::ProcessTable(std::vector<ProcessInfo> processes) : processes_(std::move(processes)) {
    for (size_t i = 0; i < processes_.size(); ++i) {
        if (has_run_argument(processes_[i].cmdline)) run_candidates_.push_back(i);
    }
}

ProcessTable ProcessTable::read() {
    std::vector<ProcessInfo> processes;
    processes.reserve(512);
    walk_processes([&](const ProcessInfo& info) {
        processes.push_back(info);
        return true;
    });
    return ProcessTable(std::move(processes));
}

std::optional<uint32_t> ProcessTable::find_helper(std::string_view config_path_text) const {
    const uint32_t self = own_pid();
    for (size_t i : run_candidates_) {
        const ProcessInfo& p = processes_[i];
        if (p.pid == self) continue;
        if (any_argument(p.cmdline, [&](std::string_view arg) { return arg == config_path_text; }))
            return p.pid;
    }
    return std::nullopt;
}

std::optional<uint32_t> ProcessTable::find_qemu(std::string_view disk_path) const {
    for (const ProcessInfo& p : processes_) {
        if (is_vm_qemu_cmdline(p.cmdline, disk_path)) return p.pid;
    }
    return std::nullopt;
}

std::optional<uint32_t> find_helper_pid(const std::filesystem::path& dir) {
    const std::string config = config_path_text(dir);
    const uint32_t self = own_pid();
    std::optional<uint32_t> found;
    walk_processes([&](const ProcessInfo& info) {
        if (info.pid != self && is_helper_cmdline(info.cmdline, config)) found = info.pid;
        return !found;
    });
    return found;
}

std::optional<uint32_t> find_helper_pid(const ProcessTable& table,
                                        const std::filesystem::path& dir) {
    return table.find_helper(config_path_text(dir));
}

std::vector<uint32_t> find_vm_qemu_pids(std::string_view disk_path) {
    std::vector<uint32_t> pids;
    if (disk_path.empty()) return pids;
    walk_processes([&](const ProcessInfo& info) {
        if (is_vm_qemu_cmdline(info.cmdline, disk_path)) pids.push_back(info.pid);
        return true;
    });
    return pids;
}

bool process_alive(uint32_t pid) {
    const std::string dir = fmt::format("/proc/{}", pid);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return false;
    // An exited process that nobody has reaped yet keeps its /proc entry
    // (its new parent may reap late, or never, where PID 1 is no init). It
    // can do nothing more, so it counts as gone: the state letter after the
    // command name in /proc/<pid>/stat is Z (zombie) or X (dead).
    const UniqueFd fd(::open((dir + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return true;
    char buf[512];
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n <= 0) return true;
    const auto state = parse_stat_state(std::string_view(buf, static_cast<size_t>(n)));
    if (!state) return true;
    return *state != 'Z' && *state != 'X';
}

std::optional<char> parse_stat_state(std::string_view stat_text) {
    const size_t paren = stat_text.rfind(')');
    if (paren == std::string_view::npos || paren + 2 >= stat_text.size()) return std::nullopt;
    return stat_text[paren + 2];
}

std::expected<void, std::string> send_signal(uint32_t pid, int signal_number) {
    // A pid beyond the range of pid_t would address a process group.
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX) ||
        ::kill(static_cast<pid_t>(pid), signal_number) != 0)
        return std::unexpected(
            fmt::format("signal {} to pid {} failed (process gone?)", signal_number, pid));
    return {};
}

}  // namespace kelvo
