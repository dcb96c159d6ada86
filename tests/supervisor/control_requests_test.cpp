#include "supervisor/control_requests.h"

#include <thread>
#include <variant>

#include <gtest/gtest.h>
#include <asio/experimental/awaitable_operators.hpp>

#include "supervisor/timings.h"
#include "supervisor_test_support.h"

namespace kelvo {
namespace {

using fakes::Runtime;
using namespace std::chrono_literals;

TEST(ControlChannel, ManySendersNeverBlockAndNothingIsLost) {
    Runtime rt;
    ControlChannel channel(rt.executor());
    constexpr int kSenders = 4, kEach = 50000;  // far beyond any fixed capacity
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&channel, s] {
            const auto request = static_cast<ControlRequest>(s);
            for (int i = 0; i < kEach; ++i) channel.send(request);
        });
    }
    for (auto& t : senders) t.join();
    int counts[kSenders] = {};
    // As the supervisor takes them: a wait, then the oldest request.
    rt.run([&]() -> asio::awaitable<void> {
        for (int i = 0; i < kSenders * kEach;) {
            co_await channel.wait();
            if (auto request = channel.try_receive()) {
                ++counts[static_cast<int>(*request)];
                ++i;
            }
        }
    }());
    for (int s = 0; s < kSenders; ++s) EXPECT_EQ(counts[s], kEach);
    EXPECT_EQ(channel.try_receive(), std::nullopt);
}

TEST(ControlChannel, FirstInFirstOut) {
    Runtime rt;
    ControlChannel channel(rt.executor());
    channel.send(ControlRequest::Hibernate);
    channel.send(ControlRequest::Stop);
    channel.send(ControlRequest::Kill);
    EXPECT_EQ(channel.try_receive(), ControlRequest::Hibernate);
    EXPECT_EQ(channel.try_receive(), ControlRequest::Stop);
    EXPECT_EQ(channel.try_receive(), ControlRequest::Kill);
    EXPECT_EQ(channel.try_receive(), std::nullopt);
}

TEST(ControlChannel, ReceiverWakesForARequestFromAnotherThread) {
    Runtime rt;
    ControlChannel channel(rt.executor());
    std::thread sender([&] {
        std::this_thread::sleep_for(50ms);
        channel.send(ControlRequest::InputClosed);
    });
    rt.run(channel.wait());
    EXPECT_EQ(channel.try_receive(), ControlRequest::InputClosed);
    sender.join();
}

TEST(ControlChannel, WaitThatLosesARaceLosesNoRequest) {
    using namespace asio::experimental::awaitable_operators;
    Runtime rt;
    ControlChannel channel(rt.executor());
    // The timer wins; the request sent afterwards is still there.
    auto first = rt.run([&]() -> asio::awaitable<size_t> {
        auto woke = co_await (channel.wait() || sleep_for(20ms));
        co_return woke.index();
    }());
    EXPECT_EQ(first, 1u);
    channel.send(ControlRequest::Stop);
    auto second = rt.run([&]() -> asio::awaitable<size_t> {
        auto woke = co_await (channel.wait() || sleep_for(5s));
        co_return woke.index();
    }());
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(channel.try_receive(), ControlRequest::Stop);
}

TEST(ControlChannel, SendsAfterCloseAreDropped) {
    Runtime rt;
    auto channel = std::make_shared<ControlChannel>(rt.executor());
    channel->send(ControlRequest::Stop);
    channel->close();
    channel->send(ControlRequest::InputClosed);  // a reader thread that outlived the command
    EXPECT_EQ(channel->try_receive(), ControlRequest::Stop);
    EXPECT_EQ(channel->try_receive(), std::nullopt);
}

}  // namespace
}  // namespace kelvo
