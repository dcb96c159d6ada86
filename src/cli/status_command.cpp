#include <fmt/format.h>

#include "cli/commands.h"
#include "cli/port_probe.h"
#include "cli/process_table.h"
#include "cli/sizes.h"
#include "common/files.h"
#include "common/output.h"
#include "common/text.h"
#include "machine/snapshot.h"

namespace kelvo {

namespace {

// One "  label:    value" line; every value starts after 13 characters.
std::string field(std::string_view label, std::string_view value) {
    return fmt::format("  {:<11}{}\n", fmt::format("{}:", label), escape_control(value));
}

}  // namespace

CommandResult status_command(const VmEntry& vm, const std::vector<std::string>&) {
    const HelperConfig& c = vm.config;
    const ProcessTable table = ProcessTable::read();
    const HelperLookup helper = lookup_helper(vm, table);
    const std::string_view state = vm_state(vm, table, helper);
    const auto& pid = helper.pid;

    std::string out = fmt::format("{}\n", vm.shown);
    out += field("id", vm.id);
    out += field("state", state == kStatePaused
                              ? fmt::format("{} (disk error — free space on the host)", state)
                              : std::string(state));
    if (pid) out += field("helper", fmt::format("pid {}", *pid));
    if (c.ssh_host_port != 0) {
        out += field("ssh", fmt::format("127.0.0.1:{} ({})", c.ssh_host_port,
                                        port_open(c.ssh_host_port) ? "open" : "closed"));
    }
    out += field("cpus", fmt::format("{}", c.cpu_count));
    out += field("memory", fmt::format("{} MiB", c.memory_mib));
    const auto disk = file_size(c.disk_path);
    out += field("disk", fmt::format("{} GiB ({})", c.disk_gib,
                                     disk ? format_gib_tenths(*disk) + " GiB used"
                                          : std::string("not provisioned")));
    if (snapshot_present(c.save_path)) {
        out += field("snapshot", fmt::format("{} ({} MiB)", c.save_path,
                                             format_whole_mib(file_size(c.save_path).value_or(0))));
    }
    out += field("dir", path_text(vm.dir));
    out += field("logs", fmt::format("{} (events) · {} (serial console)",
                                     path_text(event_log_path(vm)), c.console_log_path));
    print_stdout(out);
    return {};
}

}  // namespace kelvo
