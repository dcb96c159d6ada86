#include "provision/validate.h"

#include <fmt/format.h>

#include "common/child_process.h"
#include "common/exit_status.h"
#include "common/files.h"
#include "common/output.h"
#include "events/events.h"
#include "machine/qemu_args.h"

namespace kelvo {

namespace {

constexpr std::string_view kKvmMissing = "/dev/kvm missing — KVM not available on this host";

// True when the emulator starts and "--version" exits with success.
bool emulator_answers(const std::string& program) {
    auto child = spawn({.program = program,
                        .args = {"--version"},
                        .in = Redirect::inherit(),
                        .out = Redirect::null(),
                        .err = Redirect::null()});
    if (!child) return false;
    auto status = child->wait();
    return status && wait_status_success(*status);
}

int fail(std::string_view message) {
    emit_error(message);
    return 1;
}

}  // namespace

int validate_command(const HelperConfig& config, Arch arch) {
    return validate_command(config, arch, HostProbe{});
}

int validate_command(const HelperConfig& config, Arch arch, const HostProbe& probe) {
    const std::string program =
        probe.emulator.empty() ? std::string(qemu_program(arch)) : probe.emulator;
    if (!emulator_answers(program)) {
        return fail(fmt::format("{} not found — install qemu-system", qemu_program(arch)));
    }
    // Only the presence of a pair matters here; no variable store is made.
    if (auto firmware = find_firmware(arch, config.firmware_path, probe.firmware_exists);
        !firmware) {
        return fail(firmware.error());
    }
    if (!path_exists(probe.kvm_path)) return fail(kKvmMissing);
    print_stdout("ok\n");
    return 0;
}

}  // namespace kelvo
