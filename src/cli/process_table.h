#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
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
};

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
    // is the helper of the VM whose config path text is given.
    std::optional<uint32_t> find_helper(std::string_view config_path_text) const;
    // The first QEMU of the VM with this disk path (is_vm_qemu_cmdline).
    std::optional<uint32_t> find_qemu(std::string_view disk_path) const;

  private:
    std::vector<ProcessInfo> processes_;
    std::vector<size_t> run_candidates_;  // indexes of processes with a "run" argument
};

// True when the command line (NUL-separated arguments) has an argument that
// is exactly "run" and one that is exactly the config path text.
bool is_helper_cmdline(std::string_view cmdline, std::string_view config_path_text);

// True when the command line text contains "qemu-system" and one argument
// is the drive of exactly this disk: it ends in "file={disk_path}", after a
// comma or as the whole argument. An empty disk path matches nothing.
bool is_vm_qemu_cmdline(std::string_view cmdline, std::string_view disk_path);

// The helper process of the VM directory: a fresh walk of /proc that stops
// at the first match.
std::optional<uint32_t> find_helper_pid(const std::filesystem::path& dir);
std::optional<uint32_t> find_helper_pid(const ProcessTable& table,
                                        const std::filesystem::path& dir);

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
