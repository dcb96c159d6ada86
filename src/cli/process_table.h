#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// One process as seen in /proc: its id and its command line, the raw bytes of
// /proc/<pid>/cmdline with the NUL separators kept.
struct ProcessInfo {
    uint32_t pid = 0;
    std::string cmdline;
    // The target of /proc/<pid>/cwd, read only where the helper lookup needs
    // it (a relative config path, see helper_config_path); empty otherwise or
    // when it cannot be read.
    std::string cwd{};
};

// A file as stat(2) tells it apart from every other.
struct FileId {
    uint64_t dev = 0;
    uint64_t ino = 0;
    bool operator==(const FileId&) const = default;
};

// The file a path names (links followed), if it can be examined.
std::optional<FileId> file_id(const std::string& path);

// Calls visit for every process in /proc listing order whose command line
// could be read, until visit returns false. An unlistable /proc visits none.
void walk_processes(const std::function<bool(const ProcessInfo&)>& visit);

// A snapshot of the process table, read with one walk of /proc so that a
// command looking up the helpers of many VMs pays for the walk only once.
class ProcessTable {
  public:
    static ProcessTable read();
    explicit ProcessTable(std::vector<ProcessInfo> processes = {});

    const std::vector<ProcessInfo>& processes() const { return processes_; }
    // The first process (in listing order, the program's own excluded) that
    // is the helper of the VM whose config path text is given: as
    // is_helper_cmdline tells, or naming the very file (device and inode)
    // when both paths can be examined. A relative config path text is taken
    // from this program's working directory.
    std::optional<uint32_t> find_helper(std::string_view config_path_text) const;
    // The first process with a "run" argument (the program's own excluded)
    // that has this file open: the helper behind a VM's held run lock.
    std::optional<uint32_t> find_holder(const FileId& file) const;
    // The first QEMU of the VM with this disk path (is_vm_qemu_cmdline).
    std::optional<uint32_t> find_qemu(std::string_view disk_path) const;

  private:
    // A process with a "run" argument and the config file it names.
    struct Candidate {
        size_t index = 0;
        std::optional<std::string> config;  // helper_config_path
        std::optional<FileId> file;         // that file, when it exists
    };
    std::vector<ProcessInfo> processes_;
    std::vector<Candidate> run_candidates_;
};

// The config file a helper's command line names: with an argument that is
// exactly "run", the argument after the first "--config" (the only form the
// dispatcher takes), resolved against the process's working directory cwd
// when relative, lexically normalised ("a//b/./c" is "a/b/c"). Nothing when
// there is none, or when it is relative and cwd is no absolute path.
std::optional<std::string> helper_config_path(std::string_view cmdline, std::string_view cwd);

// True when the command line (NUL-separated arguments) has an argument that
// is exactly "run" and either one that is exactly the config path text or a
// config path (helper_config_path, relative to cwd) that is the same path as
// the config path text once both are lexically normalised.
bool is_helper_cmdline(std::string_view cmdline, std::string_view config_path_text,
                       std::string_view cwd = {});

// True when the command line text contains "qemu-system" and one argument
// is the drive of exactly this disk: it ends in "file={disk_path}", after a
// comma or as the whole argument. An empty disk path matches nothing.
bool is_vm_qemu_cmdline(std::string_view cmdline, std::string_view disk_path);

// The helper process of the VM directory (ProcessTable::find_helper): a fresh
// walk of /proc that stops at the first match.
std::optional<uint32_t> find_helper_pid(const std::string& dir);
std::optional<uint32_t> find_helper_pid(const ProcessTable& table, const std::string& dir);

// Ids of every process (the program's own included) that is a QEMU of the VM
// with this disk path, in listing order.
std::vector<uint32_t> find_vm_qemu_pids(std::string_view disk_path);

// True while /proc/<pid> exists and the process has not exited (an exited
// process that is not yet reaped counts as gone).
bool process_alive(uint32_t pid);

// The state letter of a /proc/<pid>/stat text: the character two places after
// the last ")" (which closes the command name, itself free to hold ")" and
// blanks). Nothing when the text ends before it.
std::optional<char> parse_stat_state(std::string_view stat_text);

// kill(2); "signal {signal} to pid {pid} failed (process gone?)" on failure.
std::expected<void, std::string> send_signal(uint32_t pid, int signal_number);

// A /proc entry name as a process id: an unsigned 32-bit decimal number with
// an optional leading "+".
std::optional<uint32_t> parse_pid(std::string_view name);

}  // namespace kelvo
