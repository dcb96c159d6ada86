#include "supervisor/resume.h"

#include <csignal>

#include <gtest/gtest.h>

#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using fakes::FakeMonitor;
using fakes::FakeSshPort;
using fakes::file_exists;
using fakes::StdoutCapture;
using Events = std::vector<std::string>;

constexpr const char* kFailed =
    "error: resume failed: guest networking didn't recover (no qemu-guest-agent?) — discarded "
    "snapshot; start again for a cold boot";

// A restored guest: its state ("inmigrate", "paused", "running"), whether its
// network works, and the monitor and agent that see it.
class Resume : public fakes::SupervisorFixture {
  protected:
    Resume() {
        fakes::write_file(config.save_path, "snapshot");
        ssh = std::make_unique<FakeSshPort>(
            [this]() -> std::string { return network_up ? "SSH-2.0-guest\r\n" : ""; });
        config.ssh_host_port = ssh->port();
    }

    // QMP of the restored QEMU: query-status walks through `states` (the last
    // one repeating) until `cont`, which makes the guest run; set_link down
    // then up brings the network back when bounce_fixes_network.
    void restored_qemu(std::vector<std::string> states) {
        connect_qmp_peer([this, states, polls = size_t(0), down = false](
                             const std::string& command, const nlohmann::json& args) mutable {
            if (command == "query-status") {
                const std::string state =
                    continued ? "running" : states[std::min(polls++, states.size() - 1)];
                return Events{R"({"return": {"status": ")" + state + R"(", "running": false}})"};
            }
            if (command == "cont") continued = true;
            if (command == "set_link") {
                if (link_down_refused && args["up"] == false)
                    return Events{R"({"error": {"class": "GenericError", "desc": "no link"}})"};
                if (args["up"] == false) down = true;
                if (args["up"] == true && down && ++bounces == bounce_fixes_network_at)
                    network_up = true;
            }
            return FakeMonitor::ok();
        });
    }

    // The guest agent: answers once `pings_unanswered` pings went by; the
    // exact network re-init command brings the network back when
    // reinit_fixes_network.
    void guest_agent(int pings_unanswered, bool reinit_fixes_network) {
        agent = std::make_unique<FakeMonitor>(
            dir.file("qga.sock"),
            [this, pings_unanswered, reinit_fixes_network, pings = 0](
                const std::string& command, const nlohmann::json& args) mutable {
                if (command == "guest-ping") snapshot_seen_by_agent = file_exists(config.save_path);
                if (command == "guest-ping" && pings++ < pings_unanswered) return Events{};
                if (command == "guest-exec") {
                    if (reinit_fixes_network && args["path"] == "/bin/sh" &&
                        args["arg"] == nlohmann::json::array({"-c", kNetworkReinitCommand}))
                        network_up = true;
                    return Events{R"({"return": {"pid": 77}})"};
                }
                return FakeMonitor::ok();
            },
            /*greeting=*/"");
    }

    Events resume_events(bool expect_success, bool snapshot_kept = false) {
        StdoutCapture capture;
        const bool resumed = rt.run(resume(s));
        capture.restore();
        EXPECT_EQ(resumed, expect_success);
        EXPECT_EQ(file_exists(config.save_path), snapshot_kept);
        return capture.events();
    }

    std::string running() const { return "running:" + std::to_string(config.ssh_host_port); }

    std::atomic<bool> network_up{false};
    std::atomic<bool> continued{false};
    std::atomic<bool> snapshot_seen_by_agent{true};
    bool link_down_refused = false;
    int bounce_fixes_network_at = 0;  // 0: never
    int bounces = 0;
    std::unique_ptr<FakeSshPort> ssh;
    std::unique_ptr<FakeMonitor> agent;
};

TEST_F(Resume, GuestRestoredPausedIsContinuedAndReachable) {
    network_up = true;
    restored_qemu({"inmigrate", "paused"});
    EXPECT_EQ(resume_events(true),
              (Events{running(), "resume: networking restored, guest reachable"}));
    EXPECT_EQ(qmp_peer->commands(),
              (Events{"qmp_capabilities", "query-status", "query-status", "cont", "query-status"}));
}

TEST_F(Resume, RunStateWaitEndsQuietlyAfterItsPolls) {
    network_up = true;
    timings.run_state_polls = 5;
    restored_qemu({"inmigrate"});
    EXPECT_EQ(resume_events(true),
              (Events{running(), "resume: networking restored, guest reachable"}));
    EXPECT_EQ(qmp_peer->commands().size(), 1u + 5u);
}

TEST_F(Resume, GuestAgentReinitialisesTheNetwork) {
    restored_qemu({"running"});
    guest_agent(/*pings_unanswered=*/0, /*reinit_fixes_network=*/true);
    EXPECT_EQ(resume_events(true),
              (Events{"resume: guest agent re-initializing networking", running(),
                      "resume: networking restored, guest reachable"}));
    // The guest ran before the agent was asked: its snapshot was gone by then.
    EXPECT_FALSE(snapshot_seen_by_agent);
    EXPECT_EQ(
        agent->raw_lines(),
        (Events{
            R"({"execute":"guest-ping"})",
            R"({"arguments":{"arg":["-c","netplan apply 2>/dev/null || systemctl restart systemd-networkd 2>/dev/null || { dhclient -r; dhclient; } 2>/dev/null || true"],"capture-output":true,"path":"/bin/sh"},"execute":"guest-exec"})"}));
}

TEST_F(Resume, AgentPingIsRetriedUntilItAnswers) {
    restored_qemu({"running"});
    guest_agent(/*pings_unanswered=*/2, /*reinit_fixes_network=*/true);
    EXPECT_EQ(resume_events(true),
              (Events{"resume: guest agent re-initializing networking", running(),
                      "resume: networking restored, guest reachable"}));
    // Replies come late, so the count of pings is at least the three needed.
    EXPECT_GE(agent->commands().size(), 3u);
}

TEST_F(Resume, SilentAgentFallsBackToLinkBounces) {
    restored_qemu({"running"});
    guest_agent(/*pings_unanswered=*/1000, /*reinit_fixes_network=*/false);
    bounce_fixes_network_at = 2;
    EXPECT_EQ(resume_events(true),
              (Events{"resume: guest agent didn't respond (VM may lack qemu-guest-agent)",
                      "resume: NIC bounce fallback 1", "resume: NIC bounce fallback 2", running(),
                      "resume: networking restored, guest reachable"}));
    EXPECT_EQ(agent->commands().size(), 3u);  // agent_pings
    const auto raw = qmp_peer->raw_lines();
    EXPECT_EQ(std::count(raw.begin(), raw.end(),
                         R"({"arguments":{"name":"net0","up":false},"execute":"set_link"})"),
              2);
    EXPECT_EQ(std::count(raw.begin(), raw.end(),
                         R"({"arguments":{"name":"net0","up":true},"execute":"set_link"})"),
              2);
}

TEST_F(Resume, RefusedLinkDownSkipsTheLinkUp) {
    restored_qemu({"running"});
    link_down_refused = true;
    timings.link_bounces = 1;
    const Events events = resume_events(false);
    EXPECT_EQ(events, (Events{"resume: guest agent channel unavailable: QGA connect " +
                                  dir.file("qga.sock") + ": No such file or directory (os error 2)",
                              "resume: NIC bounce fallback 1", kFailed}));
    const auto commands = qmp_peer->commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "set_link"), 1);
}

TEST_F(Resume, GuestThatNeverAnswersFailsTheResumeAndQemuIsKilled) {
    restored_qemu({"running"});
    guest_agent(/*pings_unanswered=*/1000, /*reinit_fixes_network=*/false);
    EXPECT_EQ(resume_events(false),
              (Events{"resume: guest agent didn't respond (VM may lack qemu-guest-agent)",
                      "resume: NIC bounce fallback 1", "resume: NIC bounce fallback 2",
                      "resume: NIC bounce fallback 3", kFailed}));
    EXPECT_EQ(qemu_end(), "signal: 9 (SIGKILL)");
}

TEST_F(Resume, ListenerWithoutBannerDoesNotCount) {
    // QEMU's user network accepts at once; without "SSH-" that proves nothing.
    restored_qemu({"running"});
    timings.link_bounces = 1;
    const Events events = resume_events(false);
    EXPECT_EQ(events.back(), kFailed);
    EXPECT_GT(ssh->connections(), 0);
}

TEST_F(Resume, WithoutQmpThereAreNoPollsAndNoBounces) {
    EXPECT_EQ(resume_events(false),
              (Events{"resume: guest agent channel unavailable: QGA connect " +
                          dir.file("qga.sock") + ": No such file or directory (os error 2)",
                      kFailed}));
}

TEST_F(Resume, QemuThatEndedIsReportedAndTheResumeFailsAtOnce) {
    restored_qemu({"running"});
    guest_agent(/*pings_unanswered=*/1000, /*reinit_fixes_network=*/false);
    timings.agent_pings = 1000;  // must not be waited out
    ::kill(qemu_pid, SIGKILL);
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    EXPECT_EQ(resume_events(false),
              (Events{"qemu exited with status signal: 9 (SIGKILL)", kFailed}));
    EXPECT_LT(Clock::now() - start, 10s);
}

// QEMU ends by itself during the resume, after the states QMP showed (none:
// no QMP at all). A snapshot QEMU never got past loading is kept.
struct EndedCase {
    std::vector<std::string> states;
    bool kept;
    std::string snapshot_emulator = "7.2.0";  // this QEMU's (the fake monitor's)
};

class ResumeAfterQemuEnded : public Resume, public testing::WithParamInterface<EndedCase> {};

TEST_P(ResumeAfterQemuEnded, KeepsTheSnapshotOnlyIfItWasNeverLoaded) {
    const EndedCase& c = GetParam();
    if (!c.states.empty()) restored_qemu(c.states);
    s.snapshot_emulator = c.snapshot_emulator;
    timings.run_state_polls = 3;
    ::kill(qemu_pid, SIGKILL);
    std::this_thread::sleep_for(100ms);
    const Events events = resume_events(false, c.kept);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "qemu exited with status signal: 9 (SIGKILL)");
    const std::string kept =
        c.snapshot_emulator == "7.2.0"
            ? "error: resume failed: qemu exited before the snapshot was loaded — kept snapshot; "
              "start again to retry the resume, or move " +
                  config.save_path + " aside to boot cold (its saved RAM state is then lost)"
            : "error: resume failed: qemu 7.2.0 could not load the snapshot taken with qemu " +
                  c.snapshot_emulator + " — kept snapshot; resume it with qemu " +
                  c.snapshot_emulator + ", or remove " + config.save_path + " to boot cold";
    EXPECT_EQ(events.back(), c.kept ? kept : kFailed);
}

INSTANTIATE_TEST_SUITE_P(States, ResumeAfterQemuEnded,
                         testing::Values(EndedCase{{}, true}, EndedCase{{"inmigrate"}, true},
                                         EndedCase{{"inmigrate"}, true, "6.2.0 (older)"},
                                         EndedCase{{"inmigrate", "paused"}, false}));

}  // namespace
}  // namespace kelvo
