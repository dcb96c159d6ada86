#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace kelvo {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Suspends the task until the instant; returns early (quietly) only when
// the wait is cancelled because it lost a race.
inline asio::awaitable<void> sleep_until(Clock::time_point when) {
    asio::steady_timer timer(co_await asio::this_coro::executor, when);
    (void)co_await timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
}

inline asio::awaitable<void> sleep_for(milliseconds duration) {
    co_await sleep_until(Clock::now() + duration);
}

// Runs op, giving it at most limit; on expiry op is cancelled and the result
// is the error text expired.
template <typename T>
asio::awaitable<std::expected<T, std::string>> within(
    asio::awaitable<std::expected<T, std::string>> op, milliseconds limit,
    std::string_view expired) {
    using namespace asio::experimental::awaitable_operators;
    auto result = co_await (std::move(op) || sleep_for(limit));
    if (result.index() == 0) co_return std::move(std::get<0>(result));
    co_return std::unexpected(std::string(expired));
}

}  // namespace kelvo
