#include "cli/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <system_error>

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

// The target of a /proc link relative to dir_fd; false on failure.
bool read_proc_link(int dir_fd, const std::string& relative, std::string& out) {
    // The kernel renders a path within one page; the bound is only a guard.
    for (size_t size = 256; size <= (size_t{1} << 16); size *= 2) {
        out.resize(size);
        const ssize_t n = ::readlinkat(dir_fd, relative.c_str(), out.data(), out.size());
        if (n < 0) break;
        if (static_cast<size_t>(n) < out.size()) {
            out.resize(static_cast<size_t>(n));
            return true;
        }
    }
    out.clear();
    return false;
}

// The argument after the first "--config", if any.
std::optional<std::string_view> config_argument(std::string_view cmdline) {
    std::optional<std::string_view> found;
    bool next = false;
    any_argument(cmdline, [&](std::string_view arg) {
        if (next) found = arg;
        next = arg == "--config";
        return found.has_value();
    });
    return found;
}

// A config path text as the lookup compares it: absolute (from this
// program's working directory) and lexically normal. Nothing for "".
std::optional<std::string> normal_config(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::filesystem::path path(text);
    if (!text.starts_with('/')) {
        std::error_code error;
        path = std::filesystem::absolute(path, error);
        if (error) return std::nullopt;
    }
    return path.lexically_normal().string();
}

// The VM whose helper is looked for: its config path text as given and
// normalised, and (with_file) the file itself when it exists.
struct WantedConfig {
    WantedConfig(std::string_view config_path_text, bool with_file)
        : text(config_path_text), path(normal_config(text)) {
        if (path && with_file) file = file_id(*path);
    }
    std::string_view text;
    std::optional<std::string> path;
    std::optional<FileId> file;
};

// True when a process with a "run" argument and this command line, which
// names config (helper_config_path), is the wanted VM's helper. file_of gives
// that config's file; it is asked only when the paths differ.
template <typename FileOf>
bool is_helper_of(std::string_view cmdline, const std::optional<std::string>& config,
                  FileOf file_of, const WantedConfig& wanted) {
    if (any_argument(cmdline, [&](std::string_view arg) { return arg == wanted.text; }))
        return true;
    if (!config || !wanted.path) return false;
    if (*config == *wanted.path) return true;
    // Another spelling of the same file: through a link, or a home that is
    // one.
    if (!wanted.file) return false;
    const std::optional<FileId> file = file_of();
    return file && *file == *wanted.file;
}

// True when helper_config_path must know the process's working directory.
bool needs_working_dir(std::string_view cmdline) {
    if (!has_run_argument(cmdline)) return false;
    const auto argument = config_argument(cmdline);
    return argument && !argument->empty() && !argument->starts_with('/');
}

// True when the process has the file open.
bool has_open(uint32_t pid, const FileId& file) {
    const std::string dir = fmt::format("/proc/{}/fd", pid);
    DIR* fds = ::opendir(dir.c_str());
    if (fds == nullptr) return false;
    bool found = false;
    while (!found) {
        const dirent* entry = ::readdir(fds);
        if (entry == nullptr) break;
        if (!parse_pid(entry->d_name)) continue;
        struct stat st;
        // The link of a descriptor leads to its open file.
        found = ::fstatat(::dirfd(fds), entry->d_name, &st, 0) == 0 &&
                FileId{st.st_dev, st.st_ino} == file;
    }
    ::closedir(fds);
    return found;
}

}  // namespace

std::optional<FileId> file_id(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

std::optional<std::string> helper_config_path(std::string_view cmdline, std::string_view cwd) {
    if (!has_run_argument(cmdline)) return std::nullopt;
    const auto argument = config_argument(cmdline);
    if (!argument || argument->empty()) return std::nullopt;
    std::filesystem::path path(*argument);
    if (!argument->starts_with('/')) {
        // The desktop app may run the helper with a path relative to the
        // directory it runs it in.
        if (!cwd.starts_with('/')) return std::nullopt;
        path = std::filesystem::path(cwd) / path;
    }
    return path.lexically_normal().string();
}

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
        info.cwd.clear();
        if (needs_working_dir(info.cmdline)) {
            relative.assign(entry->d_name);
            relative.append("/cwd");
            (void)read_proc_link(proc_fd, relative, info.cwd);
        }
        if (!visit(info)) break;
    }
    ::closedir(proc);
}

bool is_helper_cmdline(std::string_view cmdline, std::string_view config_path_text,
                       std::string_view cwd) {
    if (!has_run_argument(cmdline)) return false;
    const WantedConfig wanted(config_path_text, false);
    // Without examining files: the paths decide.
    const auto no_file = [] { return std::optional<FileId>(); };
    return is_helper_of(cmdline, helper_config_path(cmdline, cwd), no_file, wanted);
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
        const ProcessInfo& p = processes_[i];
        if (!has_run_argument(p.cmdline)) continue;
        Candidate candidate{i, helper_config_path(p.cmdline, p.cwd), std::nullopt};
        if (candidate.config) candidate.file = file_id(*candidate.config);
        run_candidates_.push_back(std::move(candidate));
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
    const WantedConfig wanted(config_path_text, true);
    for (const Candidate& c : run_candidates_) {
        const ProcessInfo& p = processes_[c.index];
        const auto file_of = [&] { return c.file; };
        if (p.pid != self && is_helper_of(p.cmdline, c.config, file_of, wanted)) return p.pid;
    }
    return std::nullopt;
}

std::optional<uint32_t> ProcessTable::find_holder(const FileId& file) const {
    const uint32_t self = own_pid();
    for (const Candidate& c : run_candidates_) {
        const uint32_t pid = processes_[c.index].pid;
        if (pid != self && has_open(pid, file)) return pid;
    }
    return std::nullopt;
}

std::optional<uint32_t> ProcessTable::find_qemu(std::string_view disk_path) const {
    for (const ProcessInfo& p : processes_) {
        if (is_vm_qemu_cmdline(p.cmdline, disk_path)) return p.pid;
    }
    return std::nullopt;
}

std::optional<uint32_t> find_helper_pid(const std::string& dir) {
    const std::string config = config_path_text(dir);
    const WantedConfig wanted(config, true);
    const uint32_t self = own_pid();
    std::optional<uint32_t> found;
    walk_processes([&](const ProcessInfo& info) {
        if (info.pid == self || !has_run_argument(info.cmdline)) return true;
        const auto named = helper_config_path(info.cmdline, info.cwd);
        const auto file_of = [&] { return named ? file_id(*named) : std::nullopt; };
        if (is_helper_of(info.cmdline, named, file_of, wanted)) found = info.pid;
        return !found;
    });
    return found;
}

std::optional<uint32_t> find_helper_pid(const ProcessTable& table, const std::string& dir) {
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
