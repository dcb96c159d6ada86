#include <optional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/port_probe.h"
#include "cli/process_table.h"
#include "cli/text_table.h"
#include "common/json.h"
#include "common/output.h"
#include "common/text.h"
#include "machine/snapshot.h"

namespace kelvo {

namespace {

constexpr std::string_view kEmptyStore =
    "No VMs on this host. Create one from the Kelvo app (or `kelvo-gui vm create --host …` on "
    "the Mac).\n";

// What list shows for one VM.
struct Observed {
    std::optional<uint32_t> pid;
    std::string_view state;
};

// Derives every VM's helper and state with one read of the process table and
// the forwarded ports of all live helpers probed at the same time.
std::vector<Observed> observe(const std::vector<VmEntry>& vms) {
    if (vms.empty()) return {};
    const ProcessTable table = ProcessTable::read();
    std::vector<Observed> observed(vms.size());
    std::vector<uint16_t> ports;
    std::vector<size_t> probed;
    for (size_t i = 0; i < vms.size(); ++i) {
        const HelperLookup helper = lookup_helper(vms[i], table);
        observed[i].pid = helper.pid;
        // A QEMU whose helper was killed still runs the VM.
        if (helper.runs || table.find_qemu(vms[i].config.disk_path)) {
            ports.push_back(vms[i].config.ssh_host_port);
            probed.push_back(i);
        } else {
            observed[i].state = state_word(false, false, snapshot_present(vms[i].config.save_path));
        }
    }
    const std::vector<bool> open = ports_open(ports);
    for (size_t k = 0; k < probed.size(); ++k)
        observed[probed[k]].state = running_state(vms[probed[k]], open[k]);
    return observed;
}

std::string table_text(const std::vector<VmEntry>& vms, const std::vector<Observed>& observed) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"NAME", "STATE", "SSH", "CPUS", "MEMORY", "ID"});
    for (size_t i = 0; i < vms.size(); ++i) {
        const HelperConfig& c = vms[i].config;
        rows.push_back({
            vms[i].shown,
            std::string(observed[i].state),
            c.ssh_host_port == 0 ? "-" : fmt::format("{}", c.ssh_host_port),
            fmt::format("{}", c.cpu_count),
            fmt::format("{} MiB", c.memory_mib),
            escape_control(short_id(vms[i].id)),
        });
    }
    return format_table(rows);
}

std::string json_text(const std::vector<VmEntry>& vms, const std::vector<Observed>& observed) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i < vms.size(); ++i) {
        const HelperConfig& c = vms[i].config;
        list.push_back({
            {"cpus", c.cpu_count},
            {"dir", path_text(vms[i].dir)},
            {"disk_gib", c.disk_gib},
            {"id", vms[i].id},
            {"memory_mib", c.memory_mib},
            {"name", vms[i].name},
            {"pid", observed[i].pid ? nlohmann::json(*observed[i].pid) : nlohmann::json()},
            {"ssh_port", c.ssh_host_port},
            {"state", std::string(observed[i].state)},
        });
    }
    return dump_pretty(list) + "\n";
}

}  // namespace

CommandResult list_command(const std::vector<std::string>& args) {
    const bool json = has_flag(args, "--json");
    auto vms = scan_vms();
    if (!vms) return std::unexpected(vms.error());
    if (vms->empty() && !json) {
        print_stdout(kEmptyStore);
        return {};
    }
    const auto observed = observe(*vms);
    print_stdout(json ? json_text(*vms, observed) : table_text(*vms, observed));
    return {};
}

}  // namespace kelvo
