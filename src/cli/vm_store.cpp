#include "cli/vm_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

#include "cli/port_probe.h"
#include "cli/process_table.h"
#include "common/files.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "machine/run_dir.h"
#include "machine/run_lock.h"
#include "machine/snapshot.h"

namespace kelvo {

namespace {

constexpr std::string_view kLocalHostname = "local-hostname:";

// The whole content of a regular file (links followed) when it is UTF-8
// text. A FIFO or device is refused without reading it, so a stray named pipe
// in the store never blocks a command.
std::expected<std::string, std::string> read_text_file(const std::string& path) {
    auto bytes = read_regular_file(path);
    if (!bytes) return bytes;
    if (!is_valid_utf8(*bytes)) return std::unexpected("not UTF-8 text");
    return bytes;
}

}  // namespace

std::expected<std::string, std::string> store_root() {
    auto home = home_dir();
    if (!home) return std::unexpected(home.error());
    return join_path(join_path(*home, ".kelvo"), "vms");
}

std::string path_text(const std::string& path) {
    return utf8_lossy(path);
}

std::string short_id(std::string_view id) {
    size_t chars = 0;
    for (size_t i = 0; i < id.size(); ++i) {
        // Each character starts with a byte that is not a continuation byte.
        if ((static_cast<unsigned char>(id[i]) & 0xC0) != 0x80 && chars++ == 12)
            return std::string(id.substr(0, i));
    }
    return std::string(id);
}

std::string config_path_text(const std::string& dir) {
    return path_text(join_path(dir, "helper.json"));
}

std::string config_path_text(const VmEntry& vm) {
    return config_path_text(vm.dir);
}

std::string event_log_path(const VmEntry& vm) {
    return join_path(vm.dir, "helper.out");
}

std::optional<std::string> local_hostname(std::string_view meta_data) {
    for (const std::string& line : split_lines(meta_data)) {
        if (!std::string_view(line).starts_with(kLocalHostname)) continue;
        const std::string_view value = trim(std::string_view(line).substr(kLocalHostname.size()));
        if (!value.empty()) return std::string(value);
    }
    return std::nullopt;
}

std::string vm_display_name(const HelperConfig& config, const std::string& dir,
                            std::string_view id) {
    if (!config.vm_name.empty()) return config.vm_name;
    if (auto meta = read_text_file(join_path(dir, "meta-data"))) {
        if (auto name = local_hostname(*meta)) return *name;
    }
    return short_id(id);
}

void sort_by_name(std::vector<VmEntry>& vms) {
    // std::string compares as unsigned bytes (char_traits<char>::compare).
    std::stable_sort(vms.begin(), vms.end(),
                     [](const VmEntry& a, const VmEntry& b) { return a.name < b.name; });
}

std::vector<VmEntry> scan_store(const std::string& root) {
    std::vector<VmEntry> vms;
    DIR* listing = ::opendir(root.c_str());
    if (listing == nullptr) return vms;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string dir = join_path(root, name);
        auto text = read_text_file(join_path(dir, "helper.json"));
        if (!text) continue;
        auto config = parse_helper_config(*text);
        if (!config) continue;
        VmEntry vm{dir, utf8_lossy(name), {}, {}, std::move(*config)};
        vm.name = vm_display_name(vm.config, vm.dir, vm.id);
        vm.shown = escape_control(vm.name);
        vms.push_back(std::move(vm));
    }
    ::closedir(listing);
    sort_by_name(vms);
    return vms;
}

std::expected<std::vector<VmEntry>, std::string> scan_vms() {
    auto root = store_root();
    if (!root) return std::unexpected(root.error());
    return scan_store(*root);
}

std::string_view state_word(bool helper_found, bool port_answers, bool snapshot) {
    if (helper_found) return port_answers ? kStateRunning : kStateBooting;
    return snapshot ? kStateHibernated : kStateStopped;
}

std::string_view running_state(const VmEntry& vm, bool port_answers) {
    if (path_exists(disk_error_marker_path(vm.config))) return kStatePaused;
    return state_word(true, port_answers, false);
}

namespace {

// The state once it is known whether the VM runs (a helper, or a QEMU whose
// helper was killed): the port is probed only then, the snapshot looked at
// only otherwise.
std::string_view state_with_helper(const VmEntry& vm, bool runs) {
    if (runs) return running_state(vm, port_open(vm.config.ssh_host_port));
    return state_word(false, false, snapshot_present(vm.config.save_path));
}

}  // namespace

std::string_view vm_state(const VmEntry& vm) {
    return vm_state(vm, ProcessTable::read());
}

std::string_view vm_state(const VmEntry& vm, const ProcessTable& table) {
    return vm_state(vm, table, lookup_helper(vm, table));
}

std::string_view vm_state(const VmEntry& vm, const ProcessTable& table,
                          const HelperLookup& helper) {
    return state_with_helper(vm, helper.runs || table.find_qemu(vm.config.disk_path).has_value());
}

std::optional<FileId> held_run_lock(const HelperConfig& config) {
    const std::string path = run_lock_path(config);
    // Read-only and without O_CREAT: a VM that never ran gets no lock file.
    // O_NONBLOCK: something other than a file in its place cannot block.
    const UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
        (void)::flock(fd.get(), LOCK_UN);
        return std::nullopt;
    }
    if (errno != EWOULDBLOCK) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

namespace {

HelperLookup lookup_by_lock(const VmEntry& vm, const auto& table_of) {
    const auto lock = held_run_lock(vm.config);
    if (!lock) return {};
    return {table_of().find_holder(*lock), true};
}

}  // namespace

HelperLookup lookup_helper(const VmEntry& vm) {
    if (const auto pid = find_helper_pid(vm.dir)) return {pid, true};
    return lookup_by_lock(vm, [] { return ProcessTable::read(); });
}

HelperLookup lookup_helper(const VmEntry& vm, const ProcessTable& table) {
    if (const auto pid = find_helper_pid(table, vm.dir)) return {pid, true};
    return lookup_by_lock(vm, [&]() -> const ProcessTable& { return table; });
}

std::string unfound_helper_message(const VmEntry& vm) {
    return fmt::format(
        "'{}' has a running helper (it holds {}) whose process cannot be found — retry in a "
        "moment",
        vm.shown, run_lock_path(vm.config));
}

std::expected<VmEntry, std::string> match_vm(const std::vector<VmEntry>& vms,
                                             std::string_view query) {
    if (vms.empty()) return std::unexpected("no VMs on this host (nothing under ~/.kelvo/vms)");
    std::vector<const VmEntry*> candidates;
    for (const VmEntry& vm : vms) {
        if (vm.name == query || vm.id.starts_with(query)) candidates.push_back(&vm);
    }
    if (candidates.size() == 1) return *candidates.front();
    if (candidates.empty())
        return std::unexpected(
            fmt::format("no VM matches '{}' — see 'kelvo-vmhelper list'", query));
    std::string list;
    for (const VmEntry* vm : candidates) {
        if (!list.empty()) list += ", ";
        list += fmt::format("{} ({})", vm->name, short_id(vm->id));
    }
    return std::unexpected(fmt::format("'{}' is ambiguous: {}", query, list));
}

std::expected<VmEntry, std::string> resolve_vm(const std::vector<std::string>& args) {
    const auto query = std::find_if(args.begin(), args.end(),
                                    [](const std::string& a) { return !a.starts_with('-'); });
    if (query == args.end())
        return std::unexpected("missing <vm> argument — see 'kelvo-vmhelper help'");
    auto vms = scan_vms();
    if (!vms) return std::unexpected(vms.error());
    return match_vm(*vms, *query);
}

}  // namespace kelvo
