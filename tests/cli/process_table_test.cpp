#include "cli/process_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "cli/vm_store.h"
#include "common/child_process.h"
#include "machine/run_lock.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using namespace std::string_literals;

TEST(ProcessTable, ParsePid) {
    struct Case {
        const char* name;
        std::optional<uint32_t> pid;
    } cases[] = {
        {"1", 1u},          {"+42", 42u}, {"4294967295", 4294967295u},
        {"4294967296", {}}, {"self", {}}, {"", {}},
        {"-1", {}},         {"12a", {}},  {"thread-self", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_pid(c.name), c.pid) << c.name;
}

TEST(ProcessStat, StateLetterFollowsTheCommandName) {
    EXPECT_EQ(parse_stat_state("1234 (qemu-system-x86) S 1 1234 1234 0 -1 4194560\n"), 'S');
    EXPECT_EQ(parse_stat_state("9953 (kelvo-vmhelper) Z 1 9953"), 'Z');
    // The command name may hold ")" and blanks: the last ")" closes it.
    EXPECT_EQ(parse_stat_state("777 (a) b) X) R 1 777"), 'R');
    EXPECT_EQ(parse_stat_state("777 (x) X"), 'X');
}

TEST(ProcessStat, NoStateWhenTheTextEndsEarly) {
    EXPECT_EQ(parse_stat_state(""), std::nullopt);
    EXPECT_EQ(parse_stat_state("777 (x"), std::nullopt);
    EXPECT_EQ(parse_stat_state("777 (x)"), std::nullopt);
    EXPECT_EQ(parse_stat_state("777 (x) "), std::nullopt);
}

TEST(ProcessTable, HelperCommandLineIsWholeArgumentMatch) {
    const std::string config = "/h/.kelvo/vms/a/helper.json";
    struct Case {
        std::string cmdline;
        bool helper;
        std::string cwd = "";  // the process's working directory
    } cases[] = {
        {"/usr/bin/kelvo-vmhelper\0run\0--config\0/h/.kelvo/vms/a/helper.json\0"s, true},
        {"python3\0fake.py\0run\0--config\0/h/.kelvo/vms/a/helper.json\0"s, true},
        {"x\0/h/.kelvo/vms/a/helper.json\0run"s, true},  // any order, no final NUL
        {"kelvo\0validate\0--config\0/h/.kelvo/vms/a/helper.json\0"s, false},
        {"kelvo\0run\0--config\0.kelvo/vms/a/helper.json\0"s, false},  // no cwd known
        // Relative paths are resolved against the working directory.
        {"kelvo\0run\0--config\0.kelvo/vms/a/helper.json\0"s, true, "/h"},
        {"kelvo\0run\0--config\0./vms/b/../a//helper.json"s, true, "/h//.kelvo/"},
        {"kelvo\0run\0--config\0.kelvo/vms/a/helper.json\0"s, false, "/g"},
        {"kelvo\0run\0--config\0.kelvo/vms/a/helper.json\0"s, false, "h"},
        {"kelvo\0validate\0--config\0.kelvo/vms/a/helper.json\0"s, false, "/h"},
        {"kelvo\0run\0--config\0/h/.kelvo/vms//a/helper.json\0"s, true},
        {"kelvo\0run\0--config\0/h//.kelvo/vms/a/./helper.json\0"s, true, "/x"},
        {"kelvo\0run\0--config\0/h/.kelvo/vms/a/helper.json/\0"s, false},
        {"kelvo\0running\0/h/.kelvo/vms/a/helper.json\0"s, false},
        {"kelvo\0run\0--config=/h/.kelvo/vms/a/helper.json\0"s, false},
        {"kelvo run --config /h/.kelvo/vms/a/helper.json"s, false},
        {""s, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_helper_cmdline(c.cmdline, config, c.cwd), c.helper) << c.cmdline << c.cwd;
}

TEST(ProcessTable, QemuSweepMatchesOnlyThisVmsDriveArgument) {
    const std::string disk = "/v/a/disk.qcow2";
    struct Case {
        std::string cmdline;
        std::string disk;
        bool match;
    } cases[] = {
        {"/usr/bin/qemu-system-x86_64\0-drive\0if=virtio,format=qcow2,file=/v/a/disk.qcow2\0"s,
         disk, true},
        {"qemu-system-aarch64\0-drive\0file=/v/a/disk.qcow2\0"s, disk, true},
        {"qemu-system-aarch64\0-drive\0file=/v/b/disk.qcow2\0"s, disk, false},
        // Another VM's disk whose path begins or ends with this one's.
        {"qemu-system-x86_64\0-drive\0if=virtio,file=/v/a/disk.qcow2.old\0"s, disk, false},
        {"qemu-system-x86_64\0-drive\0if=virtio,file=/w/v/a/disk.qcow2\0"s, disk, false},
        {"qemu-system-x86_64\0-drive\0if=virtio,file=/h/vm/disk.qcow2\0"s, "disk.qcow2", false},
        {"qemu-system-x86_64\0-drive\0if=virtio,xfile=/v/a/disk.qcow2\0"s, disk, false},
        {"qemu-system-x86_64\0-name\0/v/a/disk.qcow2\0"s, disk, false},
        {"cat\0/v/a/disk.qcow2\0"s, disk, false},
        {"qemu-system-x86_64\0-drive\0file=/v/a/disk.qcow2\0"s, "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_vm_qemu_cmdline(c.cmdline, c.disk), c.match) << c.cmdline;
}

TEST(ProcessTable, SnapshotLookupTakesFirstInOrderAndSkipsSelf) {
    const std::string config = "/h/vms/a/helper.json";
    const uint32_t self = static_cast<uint32_t>(::getpid());
    const ProcessTable table({
        {self, "me\0run\0--config\0/h/vms/a/helper.json"s},
        {11, "other\0run\0--config\0/h/vms/b/helper.json"s},
        {12, "x\0run\0--config\0/h/vms/a/helper.json"s},
        {13, "y\0run\0--config\0/h/vms/a/helper.json"s},
        {14, "z\0run\0--config\0vms/c/helper.json"s, "/h"},
        {15, "z\0run\0--config\0vms/d/helper.json"s},  // working directory unknown
    });
    EXPECT_EQ(table.find_helper(config), 12u);
    EXPECT_EQ(table.find_helper("/h/vms/b/helper.json"), 11u);
    EXPECT_EQ(table.find_helper("/h//vms/b/helper.json"), 11u);
    EXPECT_EQ(table.find_helper("/h/vms/c/helper.json"), 14u);
    EXPECT_EQ(table.find_helper("/h/vms/d/helper.json"), std::nullopt);
}

TEST(ProcessTable, FindsALiveHelperByItsConfigFile) {
    test_support::TempDir tmp;
    const auto dir = tmp.path() / "vm";
    // The helper names the config through a link to the VM's folder.
    test_support::write_file(dir / "helper.json", "{}");
    std::filesystem::create_directory_symlink(dir, tmp.path() / "link");
    const std::string config = config_path_text(tmp.path() / "link");
    SpawnOptions options;
    // A child whose command line never changes (an interpreter found through
    // a re-executing wrapper would show other command lines on the way).
    options.program = "/bin/sh";
    options.args = {"-c", "sleep 30; :", "run", "--config", config};
    options.kill_on_drop = true;
    auto child = spawn(options);
    ASSERT_TRUE(child.has_value()) << child.error();
    // Before exec the child may still show the parent's command line.
    std::optional<uint32_t> found;
    for (int i = 0; i < 200 && !found; ++i) {
        found = find_helper_pid(dir);
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(found.has_value());
    const auto pid = static_cast<uint32_t>(child->pid());
    EXPECT_EQ(*found, pid);
    EXPECT_EQ(find_helper_pid(ProcessTable::read(), dir), pid);
    EXPECT_FALSE(find_helper_pid(tmp.path() / "other").has_value());
    EXPECT_TRUE(process_alive(pid));

    EXPECT_TRUE(send_signal(pid, SIGKILL).has_value());
    ASSERT_TRUE(child->wait().has_value());
    EXPECT_FALSE(process_alive(pid));
    EXPECT_EQ(send_signal(pid, SIGTERM).error(),
              fmt::format("signal 15 to pid {} failed (process gone?)", pid));
}

TEST(ProcessTable, AHelperIsKnownByTheRunLockItHolds) {
    test_support::TempDir tmp;
    VmEntry vm{tmp.path() / "vm", "vm", "vm", "vm", {}};
    vm.config.disk_path = (tmp.path() / "disk.qcow2").string();
    EXPECT_FALSE(lookup_helper(vm).runs);
    auto lock = try_lock_run(vm.config);
    ASSERT_TRUE(lock.has_value() && lock->has_value());
    // Its command line names no config; the lock is its only trace. It waits
    // on a pipe (read, a builtin: no child shares the lock).
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    const UniqueFd reader(input[0]), writer(input[1]);
    auto child = spawn({.program = "/bin/sh",
                        .args = {"-c", "read x", "run"},
                        .in = Redirect::to_fd(reader.get()),
                        .pass_fd = (*lock)->get(),
                        .kill_on_drop = true});
    ASSERT_TRUE(child.has_value()) << child.error();
    lock->reset();
    HelperLookup found;
    for (int i = 0; i < 200 && !found.pid; ++i) {
        found = lookup_helper(vm);
        EXPECT_TRUE(found.runs);
        if (!found.pid) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(found.pid, static_cast<uint32_t>(child->pid()));
    child->kill(SIGKILL);
    ASSERT_TRUE(child->wait().has_value());
    EXPECT_FALSE(lookup_helper(vm).runs);
}

TEST(ProcessTable, AnExitedUnreapedProcessIsNotAlive) {
    auto child = spawn({.program = "sh", .args = {"-c", "exit 0"}});
    ASSERT_TRUE(child.has_value());
    const auto pid = static_cast<uint32_t>(child->pid());
    // Not reaped: /proc/<pid> stays while the child is a zombie.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = !process_alive(pid);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    struct stat st;
    EXPECT_EQ(::stat(fmt::format("/proc/{}", pid).c_str(), &st), 0);
    ASSERT_TRUE(child->wait().has_value());
}

TEST(ProcessTable, SendSignalRefusesPidsThatAddressGroups) {
    EXPECT_EQ(send_signal(0, SIGTERM).error(), "signal 15 to pid 0 failed (process gone?)");
    EXPECT_EQ(send_signal(4294967295u, SIGUSR1).error(),
              "signal 10 to pid 4294967295 failed (process gone?)");
}

TEST(ProcessTable, ReadSeesThisProcess) {
    const uint32_t self = static_cast<uint32_t>(::getpid());
    bool seen = false;
    const ProcessTable table = ProcessTable::read();
    for (const auto& p : table.processes()) seen = seen || p.pid == self;
    EXPECT_TRUE(seen);
    EXPECT_TRUE(process_alive(self));
}

}  // namespace
}  // namespace kelvo
