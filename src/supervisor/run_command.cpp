#include "supervisor/run_command.h"

#include <unistd.h>
#include <memory>

#include <fmt/format.h>
#include <asio/this_coro.hpp>

#include "events/events.h"
#include "machine/firmware.h"
#include "machine/machine_id.h"
#include "machine/qemu_args.h"
#include "machine/run_dir.h"
#include "machine/run_lock.h"
#include "machine/snapshot.h"
#include "machine/varstore.h"
#include "supervisor/boot.h"
#include "supervisor/forwarded_port.h"
#include "supervisor/guest_clock.h"
#include "supervisor/resume.h"
#include "supervisor/run_state.h"
#include "supervisor/signals_and_stdin.h"
#include "supervisor/supervisor.h"

namespace kelvo {

namespace {

constexpr std::string_view kSettingsChanged =
    "cannot resume: {} since the hibernation; restore the setting, or remove {} to boot cold";
constexpr std::string_view kSetAside =
    "snapshot set aside as {}: {}, so resuming it would corrupt the guest's file system; booting "
    "cold";

asio::awaitable<int> supervise_until_end(Supervisor& s) {
    co_await supervise(s);
    co_return 0;
}

// From the QMP connection to QEMU's end (or a failed resume).
asio::awaitable<int> connect_and_supervise(Supervisor& s, const std::string& qmp_path,
                                           bool resuming) {
    // 1. Connect to QEMU's monitor; without it a stop is a hard kill.
    if (auto qmp = co_await connect_qmp(qmp_path, s.timings))
        s.qmp.emplace(std::move(*qmp));
    else
        emit_log(fmt::format("QMP unavailable ({}); stop will hard-kill", qmp.error()));
    // 2. Bring a restored guest back into service; a booting one may have
    //    been stopped by QEMU before anyone could be told.
    if (resuming && !co_await resume(s)) co_return 1;
    if (!resuming) co_await check_run_state(s);
    // 3. Supervise until QEMU ends (a resumed guest's clock is set meanwhile);
    //    a snapshot is recorded with what it belongs to once QEMU has let go
    //    of the disk.
    if (resuming)
        (void)co_await alongside(supervise_until_end(s), set_guest_clock(s));
    else
        co_await supervise(s);
    if (s.hibernated) {
        const std::string version = s.qmp ? s.qmp->version() : "";
        if (auto recorded =
                record_fingerprint(s.config.save_path, s.config.disk_path, version, s.settings);
            !recorded)
            emit_log("hibernate: snapshot fingerprint not recorded: " + recorded.error());
    }
    co_return s.failed ? 1 : 0;
}

asio::awaitable<int> boot_and_supervise(const HelperConfig& config, Arch arch,
                                        const RunTimings& timings,
                                        std::shared_ptr<ControlChannel> control) {
    // 1. One helper per VM: a second one touches nothing.
    auto lock = try_lock_run(config, kInheritedRunLockFd);
    if (!lock) {
        emit_error(lock.error());
        co_return 1;
    }
    if (!*lock) {
        emit_error(
            fmt::format("vm is already running: another helper holds {}", run_lock_path(config)));
        co_return 1;
    }
    // A partial snapshot left by a helper that was killed mid-save holds the
    // guest's memory and will never be finished: no one else can be writing
    // it while the lock is held.
    if (!config.save_path.empty()) (void)::unlink(partial_snapshot_path(config.save_path).c_str());

    // 2. Gather what QEMU needs: the port, firmware, its variable store and
    //    the machine identifier.
    emit_state(VmState::Starting);
    if (config.ssh_host_port == 0) {
        emit_error("ssh_host_port not set in helper.json (required for QEMU networking)");
        co_return 1;
    }
    // A snapshot written over the disk (or taken for one) would destroy it.
    if (auto conflict = save_path_conflict(config)) {
        emit_error(*conflict);
        co_return 1;
    }
    // Another program's server on the port would be taken for the guest's.
    if (auto port = check_port_free(config.ssh_host_port); !port) {
        emit_error(port.error());
        co_return 1;
    }
    const auto firmware = find_firmware(arch, config.firmware_path);
    if (!firmware) {
        emit_error(firmware.error());
        co_return 1;
    }
    if (auto store = ensure_varstore(firmware->vars, config.efi_store_path); !store) {
        emit_error(store.error());
        co_return 1;
    }
    const std::string machine_id = load_or_create_machine_id(config.machine_identifier_path);
    const std::string qmp_path = qmp_socket_path(config);
    // Left behind by a supervisor that was killed.
    (void)::unlink(qmp_path.c_str());
    clear_disk_error_marker(config);

    // 3. Start QEMU, from the snapshot when there is one that still belongs
    //    to this disk and machine.
    const SnapshotSettings settings = snapshot_settings(config, arch, firmware->code);
    bool resuming = snapshot_present(config.save_path);
    SnapshotCheck check;
    if (resuming) check = check_fingerprint(config.save_path, config.disk_path, settings);
    if (check.kind == SnapshotCheck::SettingsChanged) {
        emit_error(fmt::format(kSettingsChanged, check.detail, config.save_path));
        co_return 1;
    }
    if (check.kind == SnapshotCheck::DiskChanged) {
        auto aside = set_snapshot_aside(config.save_path);
        if (!aside) {
            emit_error("cannot resume: " + check.detail + "; " + aside.error());
            co_return 1;
        }
        emit_log(fmt::format(kSetAside, *aside, check.detail));
        resuming = false;
    }
    auto args = build_qemu_args(config, arch, firmware->code, machine_id);
    if (resuming) {
        emit_state(VmState::Restoring);
        append_resume_args(args, config.save_path);
    }
    const std::string_view emulator = qemu_program(arch);
    emit_log(launching_line(config, emulator, resuming));
    auto qemu = spawn_qemu(config, emulator, std::move(args));
    if (!qemu) {
        emit_error(qemu.error());
        co_return 1;
    }

    // 4. Take commands from standard input when attached.
    Supervisor s(config, timings, std::move(*qemu), control);
    s.settings = settings;
    s.snapshot_emulator = check.emulator;
    if (attached_mode()) start_command_reader(co_await asio::this_coro::executor, control);

    // 5. Supervise; a cold boot is watched for the guest's SSH server.
    if (resuming) co_return co_await connect_and_supervise(s, qmp_path, true);
    co_return co_await alongside(connect_and_supervise(s, qmp_path, false), watch_boot(s));
}

}  // namespace

asio::awaitable<int> run_command(const HelperConfig& config, Arch arch) {
    static const RunTimings timings;
    co_return co_await run_vm(config, arch, timings);
}

asio::awaitable<int> run_vm(const HelperConfig& config, Arch arch, const RunTimings& timings) {
    const auto executor = co_await asio::this_coro::executor;
    auto control = std::make_shared<ControlChannel>(executor);
    // Signals are taken over before anything else: from here on a SIGTERM is
    // a queued request, never the end of a process that may own a QEMU.
    SignalWatcher signals(executor);
    const int status = co_await alongside(boot_and_supervise(config, arch, timings, control),
                                          signals.watch(control));
    control->close();
    co_return status;
}

}  // namespace kelvo
