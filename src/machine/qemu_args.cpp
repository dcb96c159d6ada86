#include "machine/qemu_args.h"
#include "machine/run_dir.h"
#include "machine/shell_quote.h"

#include <algorithm>

#include <fmt/format.h>

namespace kelvo {

namespace {

std::string_view machine_value(Arch arch) {
    return arch == Arch::Arm64 ? "virt,accel=kvm,gic-version=max" : "q35,accel=kvm";
}

// Every VM gets at least 512 MiB.
constexpr uint32_t kMinMemoryMib = 512;

}  // namespace

std::string_view qemu_program(Arch arch) {
    return arch == Arch::Arm64 ? "qemu-system-aarch64" : "qemu-system-x86_64";
}

SnapshotSettings snapshot_settings(const HelperConfig& config, Arch arch,
                                   std::string_view firmware_code_path) {
    SnapshotSettings settings;
    settings.architecture = arch == Arch::Arm64 ? "aarch64" : "x86_64";
    settings.machine = std::string(machine_value(arch));
    settings.firmware = std::string(firmware_code_path);
    settings.cpus = std::max<uint32_t>(config.cpu_count, 1);
    settings.memory_mib = std::max(config.memory_mib, kMinMemoryMib);
    return settings;
}

std::vector<std::string> build_qemu_args(const HelperConfig& config, Arch arch,
                                         std::string_view firmware_code_path,
                                         std::string_view machine_uuid) {
    const uint32_t cpus = std::max<uint32_t>(config.cpu_count, 1);
    const uint32_t memory = std::max(config.memory_mib, kMinMemoryMib);
    const std::string qga_socket_path = agent_socket_path(config);
    return {
        "-machine",
        std::string(machine_value(arch)),
        "-cpu",
        "host",
        "-name",
        "kelvo",
        "-uuid",
        std::string(machine_uuid),
        "-smp",
        fmt::format("{}", cpus),
        "-m",
        fmt::format("{}M", memory),
        "-drive",
        fmt::format("if=pflash,format=raw,unit=0,readonly=on,file={}", firmware_code_path),
        "-drive",
        fmt::format("if=pflash,format=raw,unit=1,file={}", config.efi_store_path),
        "-drive",
        fmt::format("if=virtio,format=qcow2,file={}", config.disk_path),
        "-drive",
        fmt::format("if=virtio,format=raw,file={},readonly=on", config.seed_path),
        "-netdev",
        fmt::format("user,id=net0,hostfwd=tcp:127.0.0.1:{}-:22", config.ssh_host_port),
        "-device",
        fmt::format("virtio-net-pci,netdev=net0,mac={}", config.mac_address),
        "-device",
        "virtio-rng-pci",
        "-device",
        "virtio-balloon-pci",
        "-display",
        "none",
        "-serial",
        fmt::format("file:{}", config.console_log_path),
        "-qmp",
        fmt::format("unix:{},server,nowait", qmp_socket_path(config)),
        "-chardev",
        fmt::format("socket,path={},server=on,wait=off,id=qga0", qga_socket_path),
        "-device",
        "virtio-serial",
        "-device",
        "virtserialport,chardev=qga0,name=org.qemu.guest_agent.0",
    };
}

void append_resume_args(std::vector<std::string>& args, std::string_view save_path) {
    args.emplace_back("-incoming");
    args.push_back("exec:cat " + shell_quote(save_path));
}

}  // namespace kelvo
