#include "supervisor/guest_clock.h"

#include <chrono>

#include <gtest/gtest.h>

#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using fakes::FakeMonitor;
using fakes::StdoutCapture;
using Events = std::vector<std::string>;

class GuestClock : public fakes::SupervisorFixture {};

TEST_F(GuestClock, IsSetFromTheHostsOrGivenUpQuietly) {
    for (const bool silent : {false, true}) {
        // The guest agent: it answers every request, or none.
        FakeMonitor agent(
            dir.file("qga.sock"),
            [silent](const std::string&, const nlohmann::json&) {
                return silent ? Events{} : FakeMonitor::ok();
            },
            /*greeting=*/"");
        const auto start = Clock::now();
        const int64_t host_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
        StdoutCapture capture;
        rt.run(set_guest_clock(s));
        capture.restore();
        EXPECT_EQ(capture.text(), "");
        EXPECT_LT(Clock::now() - start, 2s);
        ASSERT_EQ(agent.commands(), Events{"guest-set-time"});
        const auto sent = nlohmann::json::parse(agent.raw_lines().front());
        EXPECT_NEAR(sent["arguments"]["time"].get<double>(), static_cast<double>(host_ns), 1e9);
    }
}

}  // namespace
}  // namespace kelvo
