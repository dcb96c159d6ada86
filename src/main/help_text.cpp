#include "main/help_text.h"

#include <string>

#include <fmt/format.h>

namespace kelvo {

namespace {

constexpr std::string_view kHelpTemplate = R"(kelvo-vmhelper {version} — Kelvo VM helper for Linux hosts (QEMU/KVM)

The Kelvo app uploads this helper to a Linux host and drives it over SSH to
run virtual machines. You can also run it directly on the host to inspect and
manage the VMs that live here.

Each VM is a directory under ~/.kelvo/vms/<id>/ (disk.qcow2, helper.json,
console.log, helper.out, state.save, …). Downloaded Ubuntu cloud images are
cached under ~/.kelvo/images/.

USAGE:
  kelvo-vmhelper <command> [arguments]

MANAGEMENT COMMANDS (for humans on this host):
  list, ls [--json]         List the VMs on this host and their state
  status <vm>               Show one VM in detail (state, ports, pid, paths)
  start <vm>                Boot a VM, detached — it survives logout
  stop <vm> [--force]       Graceful guest powerdown; --force kills qemu
  hibernate <vm>            Save RAM+device state to disk, then stop
  logs <vm> [-f] [-n N] [--console]
                            Show the helper event log (-f follows; --console
                            shows the guest serial console instead)
  delete <vm> [--yes]       Remove a stopped/hibernated VM's files
  help                      Show this help
  version                   Print the helper version

  <vm> is a VM name, an id, or a unique id prefix — see 'list'.

PLUMBING COMMANDS (invoked by the Kelvo app over SSH):
  run       --config <helper.json>    Boot the VM, stream NDJSON events
  validate  --config <helper.json>    Check host/config without booting
  provision --config <helper.json>    Fetch image, build disk + seed ISO

NOTES:
  - A running VM's sshd is forwarded to 127.0.0.1:<ssh port> on this host;
    Kelvo reaches it through that port via ProxyJump. Guest login keys are
    managed by the Kelvo app and are not stored on this host.
  - stop/hibernate signal the VM's detached helper (SIGTERM/SIGUSR1). A VM
    managed from Kelvo shows the new state there on its next probe/start.
  - VMs created by Kelvo stay registered in the app — prefer deleting them
    from Kelvo so its records and this host agree. 'delete' only removes
    the VM's files here.

EXAMPLES:
  kelvo-vmhelper list
  kelvo-vmhelper start dev-box
  kelvo-vmhelper logs dev-box -f
  kelvo-vmhelper stop dev-box
)";

}  // namespace

std::string_view program_version() {
    return KELVO_VERSION;
}

std::string_view help_text() {
    static const std::string text =
        fmt::format(fmt::runtime(kHelpTemplate), fmt::arg("version", program_version()));
    return text;
}

}  // namespace kelvo
