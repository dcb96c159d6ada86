#include "supervisor/probe.h"

#include <gtest/gtest.h>
#include <asio/experimental/awaitable_operators.hpp>

#include "supervisor/boot_watcher.h"
#include "supervisor/time_limit.h"
#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
using fakes::FakeSshPort;
using fakes::Runtime;
using fakes::StdoutCapture;

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

TEST(BootWatcher, ReportsRunningOnlyOnceTheBannerComes) {
    std::atomic<bool> booted{false};
    FakeSshPort port([&]() -> std::string { return booted ? "SSH-2.0-x\r\n" : ""; });
    auto timings = fakes::quick_timings();
    Runtime rt;
    StdoutCapture capture;
    BootWatcher watcher(port.port(), timings);
    rt.run([&]() -> asio::awaitable<void> {
        // The port accepts, but the guest's sshd is not up yet.
        while (port.connections() < 2) co_await sleep_for(10ms);
        booted = true;
    }() && watcher.watch());
    capture.restore();
    EXPECT_GE(port.connections(), 2);
    EXPECT_EQ(capture.events(), std::vector<std::string>{"running:" + std::to_string(port.port())});
}

TEST(BootWatcher, EmitsNothingOnceClosed) {
    FakeSshPort port([] { return std::string("SSH-2.0-x\r\n"); });
    auto timings = fakes::quick_timings();
    Runtime rt;
    StdoutCapture capture;
    BootWatcher watcher(port.port(), timings);
    watcher.close();
    rt.run(watcher.watch());
    capture.restore();
    EXPECT_EQ(capture.text(), "");
}

}  // namespace
}  // namespace kelvo
