#include "machine/run_dir.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(RunDir, EveryFileSitsBesideTheDisk) {
    struct Case {
        const char* disk;
        const char* dir;
        const char* prefix;  // of every file of the run directory
    };
    for (auto [disk, dir, prefix] : {
             Case{"/home/u/vm1/disk.qcow2", "/home/u/vm1", "/home/u/vm1/"},
             Case{"disk.qcow2", "", ""},
             Case{"", ".", "./"},
             Case{"/", ".", "./"},
             Case{"/disk.qcow2", "/", "/"},
             Case{"a/b/.", "a", "a/"},
         }) {
        HelperConfig c;
        c.disk_path = disk;
        const std::string p = prefix;
        EXPECT_EQ(vm_run_dir(c), dir) << disk;
        EXPECT_EQ(qemu_log_path(c), p + "qemu.log") << disk;
        EXPECT_EQ(qmp_socket_path(c), p + "qmp.sock") << disk;
        EXPECT_EQ(agent_socket_path(c), p + "qga.sock") << disk;
        EXPECT_EQ(run_lock_path(c), p + "helper.lock") << disk;
        EXPECT_EQ(disk_error_marker_path(c), p + "disk-error") << disk;
    }
}

}  // namespace
}  // namespace kelvo
