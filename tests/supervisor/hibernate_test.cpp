#include "supervisor/hibernate.h"

#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "machine/snapshot.h"
#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using fakes::FakeMonitor;
using fakes::file_exists;
using fakes::StdoutCapture;
using test_support::read_file;
using Events = std::vector<std::string>;

std::vector<std::string> reply_with_status(const std::string& status) {
    return {R"({"return": {"status": ")" + status + R"(", "total-time": 12}})"};
}

// QEMU refusing `migrate`, and what a hibernation then reports.
const Events kMigrateBusy{R"({"error": {"class": "GenericError", "desc": "busy"}})"};
const Events kMigrateRefusedEvents{
    "hibernate requested", "saving",
    R"(error: hibernate: migrate failed to start: QMP error: {"class":"GenericError","desc":"busy"})"};

class Hibernate : public fakes::SupervisorFixture {
  protected:
    // A QEMU that writes `snapshot` when migrating and then reports the
    // statuses in turn (the last one repeating).
    void migrating_qemu(std::vector<std::string> statuses, std::string snapshot = "memory") {
        connect_qmp_peer([this, statuses, snapshot, polls = size_t(0)](
                             const std::string& command, const nlohmann::json&) mutable {
            if (command == "migrate") {
                const std::string partial = config.save_path + ".part";
                partial_at_migrate = read_file(partial);
                fakes::write_file(partial, snapshot);
                // A writer whose data never reaches the disk: fsync fails.
                if (snapshot == "(fifo)") {
                    EXPECT_TRUE(::unlink(partial.c_str()) == 0 &&
                                ::mkfifo(partial.c_str(), 0600) == 0);
                }
            }
            if (command == "query-migrate")
                return reply_with_status(statuses[std::min(polls++, statuses.size() - 1)]);
            return FakeMonitor::ok();
        });
    }

    Events hibernate_events() {
        StdoutCapture capture;
        rt.run(hibernate(s));
        capture.restore();
        return capture.events();
    }

    std::string partial_at_migrate = "(not read)";
};

TEST(HibernatePaths, PartialFileAndSaveUriQuoteThePath) {
    EXPECT_EQ(partial_snapshot_path("/v/state.save"), "/v/state.save.part");
    EXPECT_EQ(save_uri("/v/state.save"), "exec:cat > '/v/state.save.part'");
    EXPECT_EQ(save_uri("/tmp/it's.save"), R"(exec:cat > '/tmp/it'\''s.save.part')");
}

TEST_F(Hibernate, CompletedMigrationIsMovedIntoPlaceAndQemuEnded) {
    migrating_qemu({"setup", "active", "completed"}, "the guest's memory");
    EXPECT_EQ(hibernate_events(), (Events{"hibernate requested", "saving", "hibernated"}));
    EXPECT_TRUE(s.hibernated);
    EXPECT_TRUE(s.running_withheld);  // the boot watcher stays quiet
    EXPECT_EQ(read_file(config.save_path), "the guest's memory");
    EXPECT_FALSE(file_exists(config.save_path + ".part"));
    EXPECT_EQ(qmp_peer->commands(),
              (Events{"qmp_capabilities", "migrate-set-parameters", "stop", "migrate",
                      "query-migrate", "query-migrate", "query-migrate", "quit"}));
    const auto raw = qmp_peer->raw_lines();
    EXPECT_EQ(raw[1],
              R"({"arguments":{"max-bandwidth":8000000000},"execute":"migrate-set-parameters"})");
    EXPECT_EQ(raw[2], R"({"execute":"stop"})");
    EXPECT_EQ(raw[3], R"({"arguments":{"uri":"exec:cat > ')" + config.save_path +
                          R"(.part'"},"execute":"migrate"})");
    EXPECT_EQ(qemu_end(), "signal: 9 (SIGKILL)");

    // The loop then reports QEMU's end without `stopped`; a request that
    // came meanwhile is moot.
    s.control->send(ControlRequest::Hibernate);
    StdoutCapture capture;
    rt.run(supervise(s));
    capture.restore();
    EXPECT_EQ(capture.events(), Events{"qemu exited with status signal: 9 (SIGKILL)"});
}

TEST_F(Hibernate, StalePartialFileIsRemovedBeforeMigrating) {
    fakes::write_file(config.save_path + ".part", "left over from an interrupted hibernation");
    migrating_qemu({"completed"});
    EXPECT_EQ(hibernate_events(), (Events{"hibernate requested", "saving", "hibernated"}));
    EXPECT_EQ(partial_at_migrate, "");
    EXPECT_EQ(read_file(config.save_path), "memory");
}

TEST_F(Hibernate, StalePartialLinkIsRemovedNotWrittenThrough) {
    // Written through, a link left at the partial path would put the
    // snapshot into the file it points at.
    const std::string victim = dir.file("victim");
    fakes::write_file(victim, "must stay");
    ASSERT_EQ(::symlink(victim.c_str(), (config.save_path + ".part").c_str()), 0);
    migrating_qemu({"completed"});
    EXPECT_EQ(hibernate_events(), (Events{"hibernate requested", "saving", "hibernated"}));
    EXPECT_EQ(read_file(victim), "must stay");
    struct stat st;
    ASSERT_EQ(::lstat(config.save_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(config.save_path), "memory");
}

TEST_F(Hibernate, SavePathWithAQuoteIsShellQuoted) {
    config.save_path = dir.file("it's here.save");
    migrating_qemu({"completed"});
    EXPECT_EQ(hibernate_events(), (Events{"hibernate requested", "saving", "hibernated"}));
    EXPECT_EQ(qmp_peer->requests()[3]["arguments"]["uri"],
              "exec:cat > '" + dir.path().string() + R"(/it'\''s here.save.part')");
    EXPECT_EQ(read_file(config.save_path), "memory");
}

TEST_F(Hibernate, UnusableSavePathIsRefusedAndTheVmKeepsRunning) {
    fakes::write_file(config.disk_path, "the guest's disk");
    migrating_qemu({"completed"});
    for (const auto& [save_path, message] : {
             std::pair<std::string, std::string>{"", "save_path not set in helper.json"},
             {config.disk_path, "save_path " + config.disk_path +
                                    " is the same file as disk_path " + config.disk_path},
         }) {
        config.save_path = save_path;
        EXPECT_EQ(hibernate_events(),
                  (Events{"hibernate requested", "error: cannot hibernate: " + message}));
    }
    EXPECT_EQ(qmp_peer->commands(), Events{"qmp_capabilities"});
    EXPECT_FALSE(s.hibernated);
    EXPECT_FALSE(s.qemu.try_wait().value().ended);  // still running
    EXPECT_EQ(read_file(config.disk_path), "the guest's disk");
}

TEST_F(Hibernate, SnapshotThatCannotBeFlushedDoesNotCount) {
    migrating_qemu({"completed"}, "(fifo)");
    const Events events = hibernate_events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2], "error: hibernate: finalize snapshot: fsync " + config.save_path +
                             ".part: Invalid argument (os error 22)");
    EXPECT_FALSE(s.hibernated);
    EXPECT_FALSE(s.running_withheld);  // the guest runs on
    EXPECT_FALSE(file_exists(config.save_path));
    EXPECT_FALSE(file_exists(config.save_path + ".part"));
    EXPECT_EQ(qmp_peer->commands().back(), "cont");
}

TEST_F(Hibernate, WithoutQmpNothingHappens) {
    EXPECT_EQ(hibernate_events(),
              (Events{"hibernate requested", "error: cannot hibernate: QMP unavailable"}));
    EXPECT_FALSE(s.hibernated);
}

TEST_F(Hibernate, RefusedMigrateResumesTheGuest) {
    connect_qmp_peer([](const std::string& command, const nlohmann::json&) {
        if (command == "migrate") return kMigrateBusy;
        return FakeMonitor::ok();
    });
    EXPECT_EQ(hibernate_events(), kMigrateRefusedEvents);
    EXPECT_EQ(qmp_peer->commands(),
              (Events{"qmp_capabilities", "migrate-set-parameters", "stop", "migrate", "cont"}));
    EXPECT_FALSE(s.hibernated);
}

TEST_F(Hibernate, LateStopReplyIsNotTakenForTheMigrateReply) {
    // `stop` is answered after its time limit; QEMU then refuses `migrate`.
    connect_qmp_peer([this](const std::string& command, const nlohmann::json&) {
        if (command == "stop") std::this_thread::sleep_for(timings.qmp_reply_limit + 300ms);
        if (command == "migrate") return kMigrateBusy;
        return FakeMonitor::ok();
    });
    EXPECT_EQ(hibernate_events(), kMigrateRefusedEvents);
    EXPECT_EQ(qmp_peer->commands().back(), "cont");
    EXPECT_FALSE(s.hibernated);
}

TEST_F(Hibernate, FailedOrCancelledMigrationDropsThePartialFileAndResumes) {
    for (const std::string status : {"failed", "cancelled"}) {
        migrating_qemu({"active", status});
        EXPECT_EQ(hibernate_events(), (Events{"hibernate requested", "saving",
                                              "error: hibernate: migration " + status}));
        EXPECT_FALSE(file_exists(config.save_path + ".part"));
        EXPECT_FALSE(file_exists(config.save_path));
        EXPECT_EQ(qmp_peer->commands().back(), "cont");
        EXPECT_FALSE(s.hibernated);
        qmp_peer.reset();
        s.qmp.reset();
    }
}

TEST(HibernateLimit, RunGivesAMigrationFiveMinutes) {
    // The limit `run` itself works with (its RunTimings are the defaults).
    EXPECT_EQ(RunTimings{}.hibernate_limit, std::chrono::minutes(5));
}

TEST_F(Hibernate, MigrationOverTheLimitIsCancelledBeforeTheGuestResumes) {
    migrating_qemu({"active"});
    const auto start = Clock::now();
    EXPECT_EQ(hibernate_events(),
              (Events{"hibernate requested", "saving", "error: hibernate: timed out"}));
    EXPECT_GE(Clock::now() - start, timings.hibernate_limit);
    const auto commands = qmp_peer->commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[commands.size() - 2], "migrate_cancel");
    EXPECT_EQ(commands.back(), "cont");
    EXPECT_FALSE(file_exists(config.save_path + ".part"));
    EXPECT_FALSE(s.hibernated);
}

TEST_F(Hibernate, FailedPollIsLoggedAndPollingGoesOn) {
    connect_qmp_peer([this, polls = 0](const std::string& command, const nlohmann::json&) mutable {
        if (command == "migrate") fakes::write_file(config.save_path + ".part", "x");
        if (command == "query-migrate" && polls++ == 0)
            return Events{R"({"error": {"class": "GenericError", "desc": "later"}})"};
        if (command == "query-migrate") return reply_with_status("completed");
        return FakeMonitor::ok();
    });
    EXPECT_EQ(
        hibernate_events(),
        (Events{"hibernate requested", "saving",
                R"(hibernate: query-migrate: QMP error: {"class":"GenericError","desc":"later"})",
                "hibernated"}));
}

TEST_F(Hibernate, FinalizeFailureKeepsThePartialFileAndResumes) {
    config.save_path = dir.file("snapshot-dir");
    ASSERT_EQ(::mkdir(config.save_path.c_str(), 0755), 0);
    fakes::write_file(config.save_path + "/occupant", "");
    migrating_qemu({"completed"});
    EXPECT_EQ(hibernate_events(),
              (Events{"hibernate requested", "saving",
                      "error: hibernate: finalize snapshot: Is a directory (os error 21)"}));
    EXPECT_TRUE(file_exists(config.save_path + ".part"));
    EXPECT_EQ(qmp_peer->commands().back(), "cont");
    EXPECT_FALSE(s.hibernated);
}

TEST_F(Hibernate, QemuDyingMidMigrationEndsTheAttemptPromptly) {
    connect_qmp_peer([this](const std::string& command, const nlohmann::json&) {
        if (command == "migrate") {
            fakes::write_file(config.save_path + ".part", "half");
            ::kill(qemu_pid, SIGKILL);
            return FakeMonitor::ok();
        }
        if (command == "query-migrate") return Events{"<close>"};
        return FakeMonitor::ok();
    });
    timings.hibernate_limit = 60s;  // must not be waited out
    const auto start = Clock::now();
    const Events events = hibernate_events();
    EXPECT_LT(Clock::now() - start, 30s);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.back(), "error: hibernate: qemu exited before the snapshot was complete");
    // Between `saving` and the error, at most polls that met the closed socket.
    for (size_t i = 2; i + 1 < events.size(); ++i)
        EXPECT_EQ(events[i].rfind("hibernate: query-migrate: ", 0), 0u) << events[i];
    EXPECT_FALSE(file_exists(config.save_path + ".part"));
    EXPECT_FALSE(file_exists(config.save_path));
    EXPECT_FALSE(s.hibernated);

    StdoutCapture capture;
    rt.run(supervise(s));
    capture.restore();
    EXPECT_EQ(capture.events(), (Events{"qemu exited with status signal: 9 (SIGKILL)", "stopped"}));
}

}  // namespace
}  // namespace kelvo
