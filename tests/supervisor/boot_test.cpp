#include "supervisor/boot.h"

#include <sys/stat.h>
#include <atomic>
#include <csignal>
#include <fstream>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/emulation.h"

#include "supervisor/run_command.h"
#include "supervisor/timings.h"
#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using fakes::FakeSshPort;
using fakes::Runtime;
using fakes::StdoutCapture;
using fakes::TempDir;
using test_support::read_file;

TEST(QemuLaunch, LaunchingLineUsesTheConfiguredNumbers) {
    HelperConfig config;
    config.cpu_count = 0;     // QEMU gets 1; the line shows what was configured
    config.memory_mib = 256;  // QEMU gets 512
    config.ssh_host_port = 2222;
    EXPECT_EQ(launching_line(config, "qemu-system-x86_64", false),
              "launching qemu-system-x86_64 (cpu=0, mem=256MiB, sshd→127.0.0.1:2222)");
    EXPECT_EQ(launching_line(config, "qemu-system-aarch64", true),
              "launching qemu-system-aarch64 (cpu=0, mem=256MiB, sshd→127.0.0.1:2222, resuming "
              "from snapshot)");
}

TEST(QemuLaunch, OutputGoesToATruncatedQemuLogAndStdinIsEmpty) {
    TempDir dir;
    HelperConfig config;
    config.disk_path = dir.file("disk.qcow2");
    fakes::write_file(dir.file("qemu.log"), std::string(1000, '#'));
    const mode_t old_mask = ::umask(022);
    auto child = spawn_qemu(config, "sh",
                            {"-c", "read line; echo \"out[$line]\"; echo err >&2; ls /proc/$$/fd"});
    ::umask(old_mask);
    ASSERT_TRUE(child.has_value()) << child.error();
    ASSERT_TRUE(child->wait().has_value());
    // Only the three standard streams reach QEMU.
    EXPECT_EQ(read_file(dir.file("qemu.log")), "out[]\nerr\n0\n1\n2\n");
    struct stat st;
    ASSERT_EQ(::stat(dir.file("qemu.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // an older log's mode is corrected
}

TEST(QemuLaunch, GuestDataIsTheOwnersAloneWhateverTheUmask) {
    TempDir dir;
    HelperConfig config;
    config.disk_path = dir.file("disk.qcow2");
    config.console_log_path = dir.file("console.log");
    // QEMU creates files (the snapshot its migration writes) under mask 077.
    const mode_t old_mask = ::umask(0);
    // ... and in a process group of its own, which a terminal's Ctrl-C
    // (sent to the supervisor's group) does not reach.
    auto child = spawn_qemu(config, "sh", {"-c", "umask; cut -d' ' -f5 /proc/$$/stat"});
    const mode_t own_mask = ::umask(old_mask);
    ASSERT_TRUE(child.has_value());
    (void)child->wait();
    EXPECT_EQ(own_mask, 0u);
    EXPECT_EQ(read_file(dir.file("qemu.log")), fmt::format("0077\n{}\n", child->pid()));
    for (const char* name : {"qemu.log", "console.log"}) {
        struct stat st;
        ASSERT_EQ(::stat(dir.file(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
}

TEST(QemuLaunch, FailuresAreNamed) {
    TempDir dir;
    HelperConfig config;
    config.disk_path = dir.file("disk.qcow2");
    config.disk_path = dir.file("no-such-dir/disk.qcow2");
    auto no_dir = spawn_qemu(config, "true", {});
    ASSERT_FALSE(no_dir.has_value());
    EXPECT_EQ(no_dir.error(), "create qemu.log: No such file or directory (os error 2)");

    KELVO_SKIP_SPAWN_ERRORS_UNDER_EMULATION();
    config.disk_path = dir.file("disk.qcow2");
    auto missing = spawn_qemu(config, "qemu-system-kelvo-missing", {});
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(),
              "failed to spawn qemu-system-kelvo-missing: No such file or directory (os error 2)");
}

const ProbeTimings kQuick{500ms, 300ms};

TEST(Probe, ReachableOnlyWhenTheFirstFourBytesAreSshDash) {
    struct Case {
        std::string banner;
        bool reachable;
    };
    const Case cases[] = {
        {"SSH-2.0-OpenSSH_9.6\r\n", true},
        {"SSH-", true},
        {"SSH", false},  // a shorter read
        {"ssh-2.0-x\r\n", false},
        {"HTTP/1.1 400 Bad Request\r\n", false},
        {"", false},  // accepted, then closed without a byte (QEMU's network before sshd runs)
    };
    for (const auto& c : cases) {
        FakeSshPort port([&] { return c.banner; });
        Runtime rt;
        EXPECT_EQ(rt.run(probe_ssh(port.port(), kQuick)), c.reachable) << c.banner;
    }
}

TEST(Probe, SilentListenerIsNotReachableAfterTheReadLimit) {
    FakeSshPort port([] { return std::string(); }, FakeSshPort::Then::hold_until_client_leaves);
    Runtime rt;
    const auto start = Clock::now();
    EXPECT_FALSE(rt.run(probe_ssh(port.port(), kQuick)));
    EXPECT_GE(Clock::now() - start, 250ms);
}

TEST(Probe, NothingListeningIsNotReachable) {
    Runtime rt;
    EXPECT_FALSE(rt.run(probe_ssh(fakes::closed_port(), kQuick)));
}

// The boot watcher of a supervised stand-in QEMU.
class BootWatcher : public fakes::SupervisorFixture {};

TEST_F(BootWatcher, ReportsRunningOnlyOnceTheBannerComes) {
    // The port accepts at once, but the guest's sshd answers only from the
    // third connection on. The listener itself decides, as it answers, so
    // whether a connection gets the banner never depends on when another
    // thread looks at a count.
    std::atomic<int> answered{0};
    FakeSshPort port([&]() -> std::string { return ++answered > 2 ? "SSH-2.0-x\r\n" : ""; });
    config.ssh_host_port = port.port();
    StdoutCapture capture;
    rt.run(watch_boot(s));
    capture.restore();
    EXPECT_GE(port.connections(), 3);
    EXPECT_EQ(capture.events(), std::vector<std::string>{"running:" + std::to_string(port.port())});
}

TEST_F(BootWatcher, AnotherProgramOnThePortIsNotTheGuest) {
    FakeSshPort port([] { return std::string("SSH-2.0-stranger\r\n"); });
    config.ssh_host_port = port.port();
    s.port_owner = qemu_pid;  // which does not listen there
    auto for_a_while = []() -> asio::awaitable<int> {
        co_await sleep_for(300ms);
        co_return 0;
    };
    StdoutCapture capture;
    rt.run(alongside(for_a_while(), watch_boot(s)));
    capture.restore();
    EXPECT_GT(port.connections(), 0);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(BootWatcher, HoldsRunningWhileAHibernationOrPowerdownIsUnderWay) {
    FakeSshPort port([] { return std::string("SSH-2.0-x\r\n"); });
    config.ssh_host_port = port.port();
    s.running_withheld = true;
    StdoutCapture capture;
    std::string while_withheld = "(not read)";
    auto failed_hibernation = [&]() -> asio::awaitable<int> {
        co_await sleep_for(300ms);
        while_withheld = capture.text();
        s.running_withheld = false;  // the guest runs on
        co_await sleep_for(300ms);
        co_return 0;
    };
    rt.run(alongside(failed_hibernation(), watch_boot(s)));
    capture.restore();
    EXPECT_EQ(while_withheld, "");
    EXPECT_GT(port.connections(), 1);
    EXPECT_EQ(capture.events(), std::vector<std::string>{"running:" + std::to_string(port.port())});
}

TEST_F(BootWatcher, EmitsNothingOnceQemuHasEnded) {
    FakeSshPort port([] { return std::string("SSH-2.0-x\r\n"); });
    config.ssh_host_port = port.port();
    ::kill(qemu_pid, SIGKILL);
    {
        StdoutCapture quiet;
        rt.run(supervise(s));  // sees QEMU end and says `stopped`
    }
    StdoutCapture capture;
    rt.run(watch_boot(s));
    capture.restore();
    EXPECT_EQ(capture.text(), "");
}

}  // namespace
}  // namespace kelvo
