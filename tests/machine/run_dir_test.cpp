#include "machine/run_dir.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(RunDir, ParentOfTheDiskOrDot) {
    struct Case {
        const char* disk;
        const char* dir;
        const char* log;
    };
    for (auto [disk, dir, log] : {
             Case{"/home/u/vm1/disk.qcow2", "/home/u/vm1", "/home/u/vm1/qemu.log"},
             Case{"disk.qcow2", "", "qemu.log"},
             Case{"", ".", "./qemu.log"},
             Case{"/", ".", "./qemu.log"},
             Case{"/disk.qcow2", "/", "/qemu.log"},
             Case{"a/b/.", "a", "a/qemu.log"},
         }) {
        HelperConfig c;
        c.disk_path = disk;
        EXPECT_EQ(vm_run_dir(c), dir) << disk;
        EXPECT_EQ(run_dir_file(c, "qemu.log"), log) << disk;
    }
}

}  // namespace
}  // namespace kelvo
