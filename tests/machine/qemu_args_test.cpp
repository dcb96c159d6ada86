#include "machine/qemu_args.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

HelperConfig sample_config() {
    HelperConfig c;
    c.disk_path = "/home/u/.kelvo/vms/vm1/disk.qcow2";
    c.seed_path = "/home/u/.kelvo/vms/vm1/seed.iso";
    c.efi_store_path = "/home/u/.kelvo/vms/vm1/efi-vars.fd";
    c.machine_identifier_path = "/home/u/.kelvo/vms/vm1/machine-id";
    c.console_log_path = "/home/u/.kelvo/vms/vm1/console.log";
    c.save_path = "/home/u/.kelvo/vms/vm1/state.save";
    c.mac_address = "52:54:00:12:34:56";
    c.cpu_count = 2;
    c.memory_mib = 2048;
    c.ssh_host_port = 2222;
    return c;
}

constexpr std::string_view kUuid = "0b9c2f0e-5d5a-4c47-9a4e-6f0d3c1e2a7b";

std::vector<std::string> expected_args(std::string machine) {
    return {
        "-machine", machine,
        "-cpu",     "host",
        "-name",    "kelvo",
        "-uuid",    std::string(kUuid),
        "-smp",     "2",
        "-m",       "2048M",
        "-drive",   "if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd",
        "-drive",   "if=pflash,format=raw,unit=1,file=/home/u/.kelvo/vms/vm1/efi-vars.fd",
        "-drive",   "if=virtio,format=qcow2,file=/home/u/.kelvo/vms/vm1/disk.qcow2",
        "-drive",   "if=virtio,format=raw,file=/home/u/.kelvo/vms/vm1/seed.iso,readonly=on",
        "-netdev",  "user,id=net0,hostfwd=tcp:127.0.0.1:2222-:22",
        "-device",  "virtio-net-pci,netdev=net0,mac=52:54:00:12:34:56",
        "-device",  "virtio-rng-pci",
        "-device",  "virtio-balloon-pci",
        "-display", "none",
        "-serial",  "file:/home/u/.kelvo/vms/vm1/console.log",
        "-qmp",     "unix:/home/u/.kelvo/vms/vm1/qmp.sock,server,nowait",
        "-chardev", "socket,path=/home/u/.kelvo/vms/vm1/qga.sock,server=on,wait=off,id=qga0",
        "-device",  "virtio-serial",
        "-device",  "virtserialport,chardev=qga0,name=org.qemu.guest_agent.0",
    };
}

std::vector<std::string> build(const HelperConfig& c, Arch arch = Arch::X86_64) {
    return build_qemu_args(c, arch, "/usr/share/OVMF/OVMF_CODE_4M.fd", kUuid);
}

TEST(QemuArgs, WholeVectorForEachArchitecture) {
    EXPECT_EQ(build(sample_config(), Arch::X86_64), expected_args("q35,accel=kvm"));
    EXPECT_EQ(build(sample_config(), Arch::Arm64), expected_args("virt,accel=kvm,gic-version=max"));
}

TEST(QemuArgs, ProgramPerArchitecture) {
    EXPECT_EQ(qemu_program(Arch::X86_64), "qemu-system-x86_64");
    EXPECT_EQ(qemu_program(Arch::Arm64), "qemu-system-aarch64");
}

TEST(QemuArgs, CpuCountZeroMeansOne) {
    struct Case {
        uint32_t cpus;
        const char* want;
    };
    for (auto [cpus, want] : {Case{0, "1"}, Case{1, "1"}, Case{4, "4"}}) {
        auto c = sample_config();
        c.cpu_count = cpus;
        EXPECT_EQ(build(c)[9], want) << cpus;
    }
}

TEST(QemuArgs, MemoryHasA512MibFloor) {
    struct Case {
        uint32_t mib;
        const char* want;
    };
    for (auto [mib, want] : {Case{0, "512M"}, Case{256, "512M"}, Case{512, "512M"},
                             Case{513, "513M"}, Case{4096, "4096M"}}) {
        auto c = sample_config();
        c.memory_mib = mib;
        EXPECT_EQ(build(c)[11], want) << mib;
    }
}

TEST(QemuArgs, ValuesAreInsertedVerbatim) {
    auto c = sample_config();
    c.mac_address = "";
    c.ssh_host_port = 65535;
    c.disk_path = "/srv/vm,1/disk.qcow2";
    auto args = build(c);
    ASSERT_EQ(args.size(), 40u);
    EXPECT_EQ(args[23], "virtio-net-pci,netdev=net0,mac=");
    EXPECT_EQ(args[21], "user,id=net0,hostfwd=tcp:127.0.0.1:65535-:22");
    // Commas are not doubled for QEMU's option syntax.
    EXPECT_EQ(args[17], "if=virtio,format=qcow2,file=/srv/vm,1/disk.qcow2");
    EXPECT_EQ(args[35], "socket,path=/srv/vm,1/qga.sock,server=on,wait=off,id=qga0");
}

TEST(QemuArgs, GuestAgentSocketFollowsTheDiskDirectory) {
    struct Case {
        const char* disk;
        const char* qga;
    };
    for (auto [disk, qga] : {
             Case{"/home/u/.kelvo/vms/vm1/disk.qcow2", "/home/u/.kelvo/vms/vm1/qga.sock"},
             Case{"disk.qcow2", "qga.sock"},
             Case{"", "./qga.sock"},
             Case{"/", "./qga.sock"},
             Case{"/disk.qcow2", "/qga.sock"},
             Case{"vms/vm1/disk.qcow2", "vms/vm1/qga.sock"},
             Case{"./disk.qcow2", "./qga.sock"},
             Case{"vms//vm1//disk.qcow2", "vms//vm1/qga.sock"},
             Case{"vms/vm1/", "vms/qga.sock"},
         }) {
        auto c = sample_config();
        c.disk_path = disk;
        EXPECT_EQ(build(c)[35], "socket,path=" + std::string(qga) + ",server=on,wait=off,id=qga0")
            << disk;
    }
}

TEST(QemuArgs, ResumeAppendsIncomingAfterTheLastDevice) {
    auto args = build(sample_config());
    append_resume_args(args, "/tmp/it's.save");
    ASSERT_EQ(args.size(), 42u);
    EXPECT_EQ(args[39], "virtserialport,chardev=qga0,name=org.qemu.guest_agent.0");
    EXPECT_EQ(args[40], "-incoming");
    EXPECT_EQ(args[41], "exec:cat '/tmp/it'\\''s.save'");
}

}  // namespace
}  // namespace kelvo
