#include "machine/firmware.h"

#include <unistd.h>
#include <set>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::TempDir;

// An existence test over a fixed set of paths that also records every query.
struct FakeFiles {
    explicit FakeFiles(std::set<std::string> paths = {}) : present(std::move(paths)) {}
    std::set<std::string> present;
    std::vector<std::string> asked{};
    ExistsFn fn() {
        return [this](const std::string& p) {
            asked.push_back(p);
            return present.contains(p);
        };
    }
};

struct TableRow {
    const char* code;
    const char* vars;
};

const std::vector<TableRow> kOvmf = {
    {"/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"},
    {"/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"},
    {"/usr/share/edk2/x64/OVMF_CODE.4m.fd", "/usr/share/edk2/x64/OVMF_VARS.4m.fd"},
    {"/usr/share/edk2/ovmf/OVMF_CODE.fd", "/usr/share/edk2/ovmf/OVMF_VARS.fd"},
    {"/usr/share/qemu/OVMF_CODE.fd", "/usr/share/qemu/OVMF_VARS.fd"},
};

const std::vector<TableRow> kAavmf = {
    {"/usr/share/AAVMF/AAVMF_CODE.fd", "/usr/share/AAVMF/AAVMF_VARS.fd"},
    {"/usr/share/edk2/aarch64/QEMU_EFI.fd", "/usr/share/edk2/aarch64/vars-template-pflash.raw"},
    {"/usr/share/qemu-efi-aarch64/QEMU_EFI.fd",
     "/usr/share/qemu-efi-aarch64/vars-template-pflash.raw"},
    {"/usr/share/edk2/arm/QEMU_EFI.fd", "/usr/share/edk2/arm/vars-template-pflash.raw"},
};

struct ArchTable {
    Arch arch;
    const std::vector<TableRow>* rows;
    const char* none_found;
};

const ArchTable kTables[] = {
    {Arch::X86_64, &kOvmf,
     "no UEFI firmware found for qemu-system-x86_64 — install the OVMF/AAVMF (edk2) package"},
    {Arch::Arm64, &kAavmf,
     "no UEFI firmware found for qemu-system-aarch64 — install the OVMF/AAVMF (edk2) package"},
};

TEST(FindFirmware, EachRowIsFoundWhenItIsTheOnlyOnePresent) {
    for (const auto& table : kTables) {
        for (const auto& row : *table.rows) {
            FakeFiles files{{row.code, row.vars}};
            auto pair = find_firmware(table.arch, std::nullopt, files.fn());
            ASSERT_TRUE(pair.has_value()) << row.code;
            EXPECT_EQ(*pair, (FirmwarePair{row.code, row.vars}));
        }
    }
}

TEST(FindFirmware, EarlierRowWinsAndHalfRowsAreSkipped) {
    for (const auto& table : kTables) {
        const auto& rows = *table.rows;
        // Everything present: the first row.
        FakeFiles all;
        for (const auto& row : rows) all.present.insert({row.code, row.vars});
        EXPECT_EQ(find_firmware(table.arch, std::nullopt, all.fn()).value(),
                  (FirmwarePair{rows[0].code, rows[0].vars}));

        // Row 1's CODE without its VARS, row 2 complete: row 2.
        FakeFiles half{{rows[0].code, rows[1].code, rows[1].vars}};
        EXPECT_EQ(find_firmware(table.arch, std::nullopt, half.fn()).value(),
                  (FirmwarePair{rows[1].code, rows[1].vars}));

        // A VARS file alone does not make a row, and is not even asked for.
        FakeFiles vars_only{{rows[0].vars}};
        auto r = find_firmware(table.arch, std::nullopt, vars_only.fn());
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), table.none_found);
        std::vector<std::string> codes;
        for (const auto& row : rows) codes.push_back(row.code);
        EXPECT_EQ(vars_only.asked, codes);
    }
}

TEST(FindFirmware, PaddedPflashImageBesideARawQemuEfiIsTheCode) {
    for (const auto& row : kAavmf) {
        const std::string code = row.code;
        const std::string dir = code.substr(0, code.rfind('/') + 1);
        const std::string padded = dir + "QEMU_EFI-pflash.raw";
        const bool raw = code.ends_with("/QEMU_EFI.fd");
        FakeFiles with{{row.code, row.vars, padded}};
        EXPECT_EQ(find_firmware(Arch::Arm64, std::nullopt, with.fn()).value(),
                  (FirmwarePair{raw ? padded : code, row.vars}));
        FakeFiles without{{row.code, row.vars}};
        EXPECT_EQ(find_firmware(Arch::Arm64, std::nullopt, without.fn()).value(),
                  (FirmwarePair{code, row.vars}));
    }
}

TEST(FindFirmware, OnlyTheBuildArchitecturesTableIsConsulted) {
    FakeFiles x86{{kOvmf[0].code, kOvmf[0].vars}};
    auto r = find_firmware(Arch::Arm64, std::nullopt, x86.fn());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), kTables[1].none_found);
}

TEST(FindFirmware, OverrideDerivesTheVarsPath) {
    struct Case {
        const char* code;
        const char* vars;
    };
    for (auto [code, vars] : {
             Case{"/opt/fw/OVMF_CODE.secboot.fd", "/opt/fw/OVMF_VARS.secboot.fd"},
             Case{"/srv/CODE/AAVMF_CODE.fd", "/srv/CODE/AAVMF_VARS.fd"},
             Case{"/fw/CODE/edk2_CODE.fd", "/fw/VARS/edk2_VARS.fd"},
             Case{"/fw/OVMF_CODE/OVMF_CODE.fd", "/fw/OVMF_VARS/OVMF_VARS.fd"},
         }) {
        EXPECT_EQ(derive_vars_path(code), vars) << code;
        for (Arch arch : {Arch::X86_64, Arch::Arm64}) {
            FakeFiles files{{code, vars}};
            EXPECT_EQ(find_firmware(arch, code, files.fn()).value(), (FirmwarePair{code, vars}));
        }
    }
}

TEST(FindFirmware, UnusableOverrideNeverFallsBackToTheTables) {
    FakeFiles installed;
    for (const auto& row : kOvmf) installed.present.insert({row.code, row.vars});
    for (const auto& row : kAavmf) installed.present.insert({row.code, row.vars});
    installed.present.insert({"/opt/missing/OVMF_VARS.fd", "/opt/only-code/OVMF_CODE.fd",
                              "ovmf_code.fd", "ovmf_vars.fd", "OVMF_VARS.fd"});

    for (const char* path : {
             "/usr/share/edk2/aarch64/QEMU_EFI.fd",  // present, but no pattern matches
             "/opt/missing/OVMF_CODE.fd",            // CODE missing
             "/opt/only-code/OVMF_CODE.fd",          // VARS missing
             "ovmf_code.fd",                         // matching is case-sensitive
             "",                                     // empty, though OVMF_VARS.fd exists
         }) {
        for (Arch arch : {Arch::X86_64, Arch::Arm64}) {
            auto r = find_firmware(arch, path, installed.fn());
            ASSERT_FALSE(r.has_value()) << path;
            EXPECT_EQ(r.error(),
                      std::string("firmware_path ") + path + " not usable (CODE or VARS missing)");
        }
    }
    EXPECT_EQ(derive_vars_path("ovmf_code.fd"), std::nullopt);
}

TEST(FindFirmware, OverrideChecksCodeBeforeVars) {
    FakeFiles files;
    (void)find_firmware(Arch::X86_64, std::string("/x/OVMF_CODE.fd"), files.fn());
    EXPECT_EQ(files.asked, std::vector<std::string>{"/x/OVMF_CODE.fd"});
}

TEST(PathExists, FollowsSymbolicLinks) {
    TempDir dir;
    std::string file = dir.write("code.fd", "x");
    ASSERT_EQ(::symlink(file.c_str(), dir.file("good-link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("none").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_TRUE(path_exists(file));
    EXPECT_TRUE(path_exists(dir.path()));
    EXPECT_TRUE(path_exists(dir.file("good-link")));
    EXPECT_FALSE(path_exists(dir.file("dangling")));
    EXPECT_FALSE(path_exists(dir.file("none")));
    EXPECT_FALSE(path_exists(dir.file("code.fd/below-a-file")));
}

TEST(FindFirmware, RealFilesThroughTheDefaultExistenceTest) {
    TempDir dir;
    std::string code = dir.write("OVMF_CODE.fd", "code");
    std::string vars = dir.write("OVMF_VARS.fd", "vars");
    EXPECT_EQ(find_firmware(kBuildArch, code).value(), (FirmwarePair{code, vars}));
    ASSERT_EQ(::unlink(vars.c_str()), 0);
    EXPECT_FALSE(find_firmware(kBuildArch, code).has_value());
}

}  // namespace
}  // namespace kelvo
