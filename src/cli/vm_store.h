#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/process_table.h"
#include "config/helper_config.h"

namespace kelvo {

// One VM of the store: a directory under ~/.kelvo/vms holding a parseable
// helper.json.
struct VmEntry {
    std::string dir;    // store root joined with the entry's name
    std::string id;     // the entry's name as text (invalid UTF-8 replaced)
    std::string name;   // display name
    std::string shown;  // the name for a terminal: control bytes escaped
    HelperConfig config;
};

// The state words of the management commands. "paused": QEMU keeps the
// guest paused on a disk error.
inline constexpr std::string_view kStateRunning = "running";
inline constexpr std::string_view kStatePaused = "paused";
inline constexpr std::string_view kStateBooting = "booting";
inline constexpr std::string_view kStateStopped = "stopped";
inline constexpr std::string_view kStateHibernated = "hibernated";

// $HOME/.kelvo/vms, or "HOME not set".
std::expected<std::string, std::string> store_root();

// Every VM of the store, sorted by name (byte order, stable).
std::expected<std::vector<VmEntry>, std::string> scan_vms();
// The VMs under one store root (a missing or unlistable root has none).
std::vector<VmEntry> scan_store(const std::string& root);

// The display name: vm_name, else the first non-empty local-hostname: of
// meta-data, else the short id.
std::string vm_display_name(const HelperConfig& config, const std::string& dir,
                            std::string_view id);
// The first non-empty "local-hostname:" value of a meta-data text.
std::optional<std::string> local_hostname(std::string_view meta_data);

// Stable sort by name, comparing bytes.
void sort_by_name(std::vector<VmEntry>& vms);

// The first 12 characters of an id (the whole id when shorter).
std::string short_id(std::string_view id);
// The text of dir/helper.json: the --config argument of the VM's helper and
// the string its process is recognised by.
std::string config_path_text(const std::string& dir);
std::string config_path_text(const VmEntry& vm);
// dir/helper.out.
std::string event_log_path(const VmEntry& vm);
// A path as text for messages (invalid UTF-8 replaced).
std::string path_text(const std::string& path);

// What the management commands know of a VM's helper.
struct HelperLookup {
    std::optional<uint32_t> pid;  // the helper process, when it was found
    bool runs = false;            // a helper runs: found, or holding the VM's run lock
};

// The VM's helper: the process that names its helper.json (find_helper_pid).
// Failing that, a held run lock tells that a helper runs all the same (one
// whose command line does not give it away, or one that `start` is handing
// the lock to); the process with a "run" argument that has the locked file
// open is then taken for it, if there is one.
HelperLookup lookup_helper(const VmEntry& vm);
HelperLookup lookup_helper(const VmEntry& vm, const ProcessTable& table);
// The locked file while some process holds the VM's run lock. The probe
// never creates the file and drops the shared lock it may get at once, so a
// helper that starts meanwhile only misses its lock in that instant.
std::optional<FileId> held_run_lock(const HelperConfig& config);
// The message of a command that must act on a helper that runs but whose
// process was not found.
std::string unfound_helper_message(const VmEntry& vm);

// The state word from the three observations.
std::string_view state_word(bool helper_found, bool port_answers, bool snapshot);
// The state word of a VM whose QEMU runs: paused while its supervisor
// marks a disk error, else running or booting as the port answers.
std::string_view running_state(const VmEntry& vm, bool port_answers);
// The state derived afresh: a walk of /proc, then the port probe or the
// snapshot test.
std::string_view vm_state(const VmEntry& vm);
// The same, looking the helper up in a process table read earlier. A VM
// whose helper was killed while its QEMU runs on counts as running too.
std::string_view vm_state(const VmEntry& vm, const ProcessTable& table);
// The same, with the helper already looked up in that table.
std::string_view vm_state(const VmEntry& vm, const ProcessTable& table, const HelperLookup& helper);

// Picks the VM the command's arguments name (the first word not beginning
// with "-").
std::expected<VmEntry, std::string> resolve_vm(const std::vector<std::string>& args);
// The matching step of resolve_vm over a scanned list.
std::expected<VmEntry, std::string> match_vm(const std::vector<VmEntry>& vms,
                                             std::string_view query);

}  // namespace kelvo
