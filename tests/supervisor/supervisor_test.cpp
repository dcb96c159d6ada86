#include "supervisor/supervisor.h"
#include "supervisor/run_state.h"

#include <csignal>

#include <gtest/gtest.h>

#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using fakes::FakeMonitor;
using fakes::StdoutCapture;
using Events = std::vector<std::string>;

class Supervise : public fakes::SupervisorFixture {
  protected:
    Events supervise_events() {
        StdoutCapture capture;
        rt.run(supervise(s));
        capture.restore();
        return capture.events();
    }
};

TEST_F(Supervise, QemuEndingByItselfIsReportedThenStopped) {
    ::kill(qemu_pid, SIGKILL);
    EXPECT_EQ(supervise_events(),
              (Events{"qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
}

TEST_F(Supervise, StopWithoutQmpKillsAtOnce) {
    s.control->send(ControlRequest::Stop);
    EXPECT_EQ(supervise_events(),
              (Events{"graceful powerdown requested", "qemu exited with status signal: 9 (SIGKILL)",
                      "stopped"}));
}

TEST_F(Supervise, StopAsksForPowerdownAndTheGuestEndsQemu) {
    connect_qmp_peer([this](const std::string& command, const nlohmann::json&) {
        // The guest shuts down: QEMU ends by itself (here by SIGTERM).
        if (command == "system_powerdown") ::kill(qemu_pid, SIGTERM);
        return FakeMonitor::ok();
    });
    s.control->send(ControlRequest::Stop);
    EXPECT_EQ(supervise_events(),
              (Events{"graceful powerdown requested",
                      "qemu exited with status signal: 15 (SIGTERM)", "stopped"}));
    EXPECT_EQ(qmp_peer->commands(), (Events{"qmp_capabilities", "system_powerdown"}));
}

TEST_F(Supervise, InputClosedIsAStop) {
    s.control->send(ControlRequest::InputClosed);
    EXPECT_EQ(supervise_events(),
              (Events{"graceful powerdown requested", "qemu exited with status signal: 9 (SIGKILL)",
                      "stopped"}));
}

TEST_F(Supervise, IgnoredPowerdownIsForcedWhenTheLimitPasses) {
    connect_qmp_peer([](const std::string&, const nlohmann::json&) { return FakeMonitor::ok(); });
    s.control->send(ControlRequest::Stop);
    const auto start = Clock::now();
    EXPECT_EQ(supervise_events(),
              (Events{"graceful powerdown requested", "powerdown timed out; forcing",
                      "qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
    EXPECT_GE(Clock::now() - start, timings.powerdown_limit);
    EXPECT_EQ(qmp_peer->commands(), (Events{"qmp_capabilities", "system_powerdown", "quit"}));
}

TEST_F(Supervise, SecondStopMovesTheDeadline) {
    connect_qmp_peer([](const std::string&, const nlohmann::json&) { return FakeMonitor::ok(); });
    s.control->send(ControlRequest::Stop);
    std::thread second([this] {
        std::this_thread::sleep_for(200ms);
        s.control->send(ControlRequest::Stop);
    });
    const auto start = Clock::now();
    const Events events = supervise_events();
    second.join();
    EXPECT_EQ(events, (Events{"graceful powerdown requested", "graceful powerdown requested",
                              "powerdown timed out; forcing",
                              "qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
    EXPECT_GE(Clock::now() - start, 200ms + timings.powerdown_limit);
    EXPECT_EQ(qmp_peer->commands(),
              (Events{"qmp_capabilities", "system_powerdown", "system_powerdown", "quit"}));
}

TEST_F(Supervise, RefusedPowerdownIsForcedAtOnce) {
    connect_qmp_peer([](const std::string&, const nlohmann::json&) {
        return std::vector<std::string>{R"({"error": {"class": "GenericError", "desc": "no"}})"};
    });
    s.control->send(ControlRequest::Stop);
    EXPECT_EQ(
        supervise_events(),
        (Events{"graceful powerdown requested",
                R"(powerdown failed (QMP error: {"class":"GenericError","desc":"no"}); will force)",
                "qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
}

TEST_F(Supervise, SilentMonitorDoesNotHoldUpAStop) {
    connect_qmp_peer([](const std::string&, const nlohmann::json&) {
        return std::vector<std::string>{};  // never answers
    });
    s.control->send(ControlRequest::Stop);
    EXPECT_EQ(supervise_events(),
              (Events{"graceful powerdown requested",
                      "powerdown failed (QMP reply timed out); will force",
                      "qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
}

TEST_F(Supervise, KillQuitsThenKills) {
    connect_qmp_peer([](const std::string&, const nlohmann::json&) { return FakeMonitor::ok(); });
    s.control->send(ControlRequest::Kill);
    EXPECT_EQ(
        supervise_events(),
        (Events{"hard kill requested", "qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
    EXPECT_EQ(qmp_peer->commands(), (Events{"qmp_capabilities", "quit"}));
}

TEST_F(Supervise, KillDuringPowerdownLeavesNoDeadlineBehind) {
    connect_qmp_peer([](const std::string&, const nlohmann::json&) { return FakeMonitor::ok(); });
    s.control->send(ControlRequest::Stop);
    s.control->send(ControlRequest::Kill);
    EXPECT_EQ(supervise_events(),
              (Events{"graceful powerdown requested", "hard kill requested",
                      "qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
}

TEST_F(Supervise, QemuEndWinsOverARequestQueuedAtTheSameTime) {
    ::kill(qemu_pid, SIGKILL);
    std::this_thread::sleep_for(100ms);
    s.control->send(ControlRequest::Stop);
    EXPECT_EQ(supervise_events(),
              (Events{"qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
}

// A monitor whose run state is `status`.
FakeMonitor::Responder stopped_by_qemu(std::string status) {
    return [=](const std::string& command, const nlohmann::json&) {
        if (command != "query-status") return FakeMonitor::ok();  // the stand-in ignores quit
        return Events{R"({"return": {"running": false, "status": ")" + status + R"("}})"};
    };
}

class RunStateWatch : public Supervise {
  protected:
    // What run does once QEMU's monitor is connected.
    Events check_then_supervise() {
        StdoutCapture capture;
        rt.run([this]() -> asio::awaitable<void> {
            co_await check_run_state(s);
            co_await supervise(s);
        }());
        capture.restore();
        return capture.events();
    }
};

TEST_F(RunStateWatch, GuestStoppedForGoodIsAnErrorAndQemuIsEnded) {
    // Stopped before the monitor was connected: no event tells of it.
    fakes::write_file(dir.file("qemu.log"),
                      "\nKVM internal error. Suberror: 1\nemulation failure\n");
    connect_qmp_peer(stopped_by_qemu("internal-error"));
    EXPECT_EQ(check_then_supervise(),
              (Events{"error: qemu stopped the guest (internal-error): KVM internal error. "
                      "Suberror: 1 (see " +
                          dir.file("qemu.log") + ")",
                      "qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
    EXPECT_TRUE(s.failed);
    EXPECT_EQ(qmp_peer->commands(), (Events{"qmp_capabilities", "query-status", "quit"}));
}

}  // namespace
}  // namespace kelvo
