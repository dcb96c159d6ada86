#include "supervisor/session.h"

#include <gtest/gtest.h>

#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using fakes::FakeMonitor;
using fakes::StdoutCapture;
using Events = std::vector<std::string>;

using Session = fakes::SupervisorFixture;

TEST(QemuEnd, ReportedAsTheProcessStatus) {
    struct Case {
        const char* script;
        const char* line;
    };
    const Case cases[] = {
        {"exit 0", "qemu exited cleanly"},
        {"exit 1", "qemu exited with status exit status: 1"},
        {"kill -9 $$", "qemu exited with status signal: 9 (SIGKILL)"},
    };
    for (const auto& c : cases) {
        fakes::Runtime rt;
        SpawnOptions options;
        options.program = "sh";
        options.args = {"-c", c.script};
        options.in = Redirect::null();
        auto child = spawn(options);
        ASSERT_TRUE(child.has_value());
        const auto status = rt.run(async_wait(*child));
        StdoutCapture capture;
        report_qemu_end(status);
        capture.restore();
        EXPECT_EQ(capture.events(), Events{c.line});
    }
    StdoutCapture capture;
    report_qemu_end(std::unexpected(std::string("No child processes (os error 10)")));
    capture.restore();
    EXPECT_EQ(capture.events(), Events{"error: waiting on qemu: No child processes (os error 10)"});
}

TEST_F(Session, SilentQmpPeerFailsTheHandshakeInBoundedTime) {
    timings.qmp_connect = {200ms, 20ms};
    timings.qmp_handshake_limit = 300ms;
    FakeMonitor silent(
        dir.file("qmp.sock"), [](const std::string&, const nlohmann::json&) { return Events{}; },
        /*greeting=*/"");
    const auto start = Clock::now();
    auto client = rt.run(connect_qmp(dir.file("qmp.sock"), timings));
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error(), "QMP handshake timed out");
    EXPECT_GE(Clock::now() - start, 500ms);
}

TEST_F(Session, MissingQmpSocketGivesTheClientsError) {
    timings.qmp_connect = {100ms, 20ms};
    auto client = rt.run(connect_qmp(dir.file("qmp.sock"), timings));
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error(),
              "QMP connect " + dir.file("qmp.sock") + ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace kelvo
