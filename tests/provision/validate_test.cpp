#include "provision/validate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/stdout_capture.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::read_file;
using test_support::StdoutCapture;
using test_support::TempDir;

struct Outcome {
    int status;
    std::string out;
};

// Runs validate_command with standard output captured.
Outcome run_validate(const HelperConfig& config, Arch arch, const HostProbe& probe) {
    StdoutCapture capture;
    const int status = validate_command(config, arch, probe);
    capture.restore();
    return {status, capture.text()};
}

std::string error_line(const std::string& message) {
    return "{\"event\":\"error\",\"message\":\"" + message + "\"}\n";
}

std::string script(const TempDir& dir, const std::string& name, const std::string& body) {
    std::string path = dir.write(name, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

// Firmware existence that records what it was asked.
struct Firmware {
    bool present = true;
    std::vector<std::string> asked{};
    ExistsFn fn() {
        return [this](const std::string& p) {
            asked.push_back(p);
            return present;
        };
    }
};

const std::string kX86NotFound = "qemu-system-x86_64 not found — install qemu-system";
const std::string kKvmMissing = "/dev/kvm missing — KVM not available on this host";

TEST(ValidateHost, AllPresentPrintsOnlyOk) {
    TempDir dir;
    // The emulator's own output goes to the null device; it gets "--version"
    // and the caller's standard input.
    std::string emulator =
        script(dir, "qemu",
               "echo \"$@\" > " + dir.file("args") + "\nreadlink /proc/$$/fd/0 > " +
                   dir.file("stdin") + "\necho noise; echo noise >&2");
    std::string kvm = dir.write("kvm", "");
    ::chmod(kvm.c_str(), 0);
    Firmware fw;
    // A recognisable standard input, to see that the emulator shares it.
    std::string input = dir.write("input", "");
    int saved_stdin = ::dup(STDIN_FILENO);
    int in_fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    ::dup2(in_fd, STDIN_FILENO);
    ::close(in_fd);
    auto r = run_validate({}, Arch::X86_64, {emulator, fw.fn(), kvm});
    ::dup2(saved_stdin, STDIN_FILENO);
    ::close(saved_stdin);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ok\n");
    EXPECT_EQ(read_file(dir.file("args")), "--version\n");
    EXPECT_EQ(read_file(dir.file("stdin")), input + "\n");
    EXPECT_FALSE(fw.asked.empty());
}

TEST(ValidateHost, EmulatorThatCannotRunOrFailsStopsEverything) {
    TempDir dir;
    std::string kvm = dir.write("kvm", "");
    for (const std::string& emulator : {
             dir.file("missing-qemu"),
             script(dir, "exit3", "exit 3"),
             script(dir, "killed", "kill -9 $$"),
             dir.write("not-executable", "#!/bin/sh\nexit 0\n"),
         }) {
        Firmware fw;
        auto r = run_validate({}, Arch::X86_64, {emulator, fw.fn(), kvm});
        EXPECT_EQ(r.status, 1) << emulator;
        EXPECT_EQ(r.out, error_line(kX86NotFound)) << emulator;
        EXPECT_TRUE(fw.asked.empty()) << "firmware is not examined";
    }
}

TEST(ValidateHost, NotFoundMessageNamesTheArchitecturesEmulator) {
    TempDir dir;
    Firmware fw;
    auto r = run_validate({}, Arch::Arm64, {dir.file("none"), fw.fn(), dir.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, error_line("qemu-system-aarch64 not found — install qemu-system"));
}

TEST(ValidateHost, FirmwareFailureIsReportedBeforeKvm) {
    TempDir dir;
    std::string ok = script(dir, "qemu", "exit 0");
    std::string missing_kvm = dir.file("no-kvm");

    Firmware none{false};
    auto r = run_validate({}, Arch::X86_64, {ok, none.fn(), missing_kvm});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, error_line("no UEFI firmware found for qemu-system-x86_64 — install the "
                                "OVMF/AAVMF (edk2) package"));

    r = run_validate({}, Arch::Arm64, {ok, none.fn(), missing_kvm});
    EXPECT_EQ(r.out, error_line("no UEFI firmware found for qemu-system-aarch64 — install the "
                                "OVMF/AAVMF (edk2) package"));

    // An override naming a missing file fails even where packaged firmware
    // is installed.
    HelperConfig config;
    config.firmware_path = "/opt/fw/OVMF_CODE.fd";
    auto installed_only = [](const std::string& p) { return p.starts_with("/usr/share/"); };
    r = run_validate(config, Arch::X86_64, {ok, installed_only, missing_kvm});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, error_line("firmware_path /opt/fw/OVMF_CODE.fd not usable (CODE or VARS "
                                "missing)"));
}

TEST(ValidateHost, MissingKvmIsTheLastCheck) {
    TempDir dir;
    std::string ok = script(dir, "qemu", "exit 0");
    Firmware fw;
    auto r = run_validate({}, Arch::X86_64, {ok, fw.fn(), dir.file("no-kvm")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, error_line(kKvmMissing));
}

TEST(ValidateHost, ValidatesWithoutWritingFiles) {
    TempDir dir;
    std::string ok = script(dir, "qemu", "exit 0");
    HelperConfig config;
    config.efi_store_path = dir.file("efi-vars.fd");
    config.machine_identifier_path = dir.file("machine-id");
    config.firmware_path = dir.write("OVMF_CODE.fd", "code");
    dir.write("OVMF_VARS.fd", "vars");
    auto r = run_validate(config, Arch::X86_64, {ok, path_exists, dir.write("kvm", "")});
    EXPECT_EQ(r.out, "ok\n");
    EXPECT_FALSE(path_exists(config.efi_store_path));
    EXPECT_FALSE(path_exists(config.machine_identifier_path));
}

}  // namespace
}  // namespace kelvo
