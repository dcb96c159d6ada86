#include "machine/snapshot.h"

#include <unistd.h>
#include <functional>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::read_file;
using test_support::TempDir;
namespace fakes = test_support;

TEST(Snapshot, CountsOnlyWhenSetAndNonEmpty) {
    TempDir dir;
    dir.write("full", "x");
    dir.write("empty", "");
    ASSERT_EQ(::symlink(dir.file("full").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_TRUE(snapshot_present(dir.file("full")));
    EXPECT_TRUE(snapshot_present(dir.file("link")));
    EXPECT_FALSE(snapshot_present(dir.file("empty")));
    EXPECT_FALSE(snapshot_present(dir.file("missing")));
    EXPECT_FALSE(snapshot_present(dir.file("dangling")));
    EXPECT_FALSE(snapshot_present(""));
}

TEST(Snapshot, SavePathNamingAnotherFileOfTheVmIsRefused) {
    TempDir dir;
    HelperConfig config;
    config.disk_path = dir.write("disk.qcow2", "disk");
    config.seed_path = dir.file("seed.iso");
    ASSERT_EQ(::link(config.disk_path.c_str(), dir.file("hard").c_str()), 0);
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("state.save"), ""},
        {"", ""},
        {config.disk_path, "disk_path"},
        {dir.path().string() + "/./sub/../disk.qcow2", "disk_path"},  // the same text, normalised
        {dir.file("hard"), "disk_path"},                              // the same inode
        {dir.path().string() + "//seed.iso", "seed_path"},            // not there yet
    };
    for (const auto& [save_path, field] : cases) {
        config.save_path = save_path;
        const auto conflict = save_path_conflict(config);
        EXPECT_EQ(conflict.has_value(), !field.empty()) << save_path;
        if (conflict) {
            EXPECT_NE(conflict->find(" is the same file as " + field), std::string::npos);
        }
    }
}

TEST(Snapshot, FingerprintTellsWhetherTheSnapshotStillBelongs) {
    const SnapshotSettings settings{"x86_64", "q35,accel=kvm", "/fw/CODE.fd", 2, 1024};
    struct Case {
        const char* name;
        std::function<void(const std::string& disk, SnapshotSettings&)> change;
        SnapshotCheck::Kind kind;
        std::string detail;  // the part after the disk's path, or the settings' change
    };
    const Case cases[] = {
        {"untouched", [](auto&, auto&) {}, SnapshotCheck::Matches, ""},
        {"written", [](const std::string& disk, auto&) { fakes::write_file(disk, "newer disk"); },
         SnapshotCheck::DiskChanged, " has changed since the hibernation (it was written since)"},
        {"replaced",
         [](const std::string& disk, auto&) {
             fakes::write_file(disk + ".new", "disk");
             ASSERT_EQ(::rename((disk + ".new").c_str(), disk.c_str()), 0);
         },
         SnapshotCheck::DiskChanged,
         " has changed since the hibernation (it was replaced by another file)"},
        {"resized settings",
         [](auto&, SnapshotSettings& now) {
             now.memory_mib = 2048;
             now.cpus = 4;
         },
         SnapshotCheck::SettingsChanged,
         "memory changed from 1024 MiB to 2048 MiB, cpus changed from 2 to 4"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string disk = dir.write("disk.qcow2", "disk");
        const std::string save = dir.write("state.save", "snapshot");
        EXPECT_EQ(check_fingerprint(save, disk, settings).kind, SnapshotCheck::Unrecorded);
        ASSERT_TRUE(record_fingerprint(save, disk, "7.2.0 (Debian)", settings).has_value());
        SnapshotSettings now = settings;
        c.change(disk, now);
        const SnapshotCheck check = check_fingerprint(save, disk, now);
        EXPECT_EQ(check.kind, c.kind) << c.name;
        EXPECT_EQ(check.emulator, "7.2.0 (Debian)") << c.name;
        EXPECT_EQ(check.detail,
                  c.kind == SnapshotCheck::DiskChanged ? "the disk " + disk + c.detail : c.detail)
            << c.name;
    }
}

TEST(Snapshot, SetAsideKeepsEverySnapshotUnderItsOwnName) {
    TempDir dir;
    const std::string save = dir.file("state.save");
    for (const char* expected : {"state.save.disk-changed", "state.save.disk-changed.2"}) {
        dir.write("state.save", expected);
        dir.write("state.save.fingerprint", "{}");
        auto aside = set_snapshot_aside(save);
        ASSERT_TRUE(aside.has_value()) << aside.error();
        EXPECT_EQ(*aside, dir.file(expected));
        EXPECT_EQ(read_file(*aside), expected);
        EXPECT_TRUE(fakes::file_exists(fingerprint_path(*aside)));
        EXPECT_FALSE(snapshot_present(save));
    }
}

}  // namespace
}  // namespace kelvo
