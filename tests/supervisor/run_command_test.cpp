#include "supervisor/run_command.h"

#include <atomic>

#include <gtest/gtest.h>

#include "supervisor/timings.h"
#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using fakes::Runtime;

TEST(Alongside, CompanionIsCancelledAndWaitedForOnceMainIsDone) {
    Runtime rt;
    std::atomic<bool> companion_ended{false};
    auto companion = [&]() -> asio::awaitable<void> {
        struct Mark {
            std::atomic<bool>& ended;
            ~Mark() { ended = true; }
        } mark{companion_ended};
        co_await sleep_for(60s);  // cut short
        co_await sleep_for(60s);
    };
    auto main = [&]() -> asio::awaitable<int> {
        co_await sleep_for(20ms);
        co_return 7;
    };
    const auto start = Clock::now();
    EXPECT_EQ(rt.run(alongside(main(), companion())), 7);
    EXPECT_TRUE(companion_ended);  // already, not later
    EXPECT_LT(Clock::now() - start, 30s);
}

TEST(Alongside, CompanionEndingEarlyOrThrowingLeavesMainRunning) {
    Runtime rt;
    auto companion = []() -> asio::awaitable<void> {
        co_await sleep_for(1ms);
        throw std::runtime_error("watcher failed");
    };
    auto main = []() -> asio::awaitable<int> {
        co_await sleep_for(100ms);
        co_return 3;
    };
    EXPECT_EQ(rt.run(alongside(main(), companion())), 3);
}

}  // namespace
}  // namespace kelvo
