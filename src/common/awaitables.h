#pragma once

#include <chrono>
#include <exception>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace kelvo {

// Waiting and racing inside a coroutine: the clock every deadline is on, a
// sleep that a lost race ends quietly, a bound on an operation, and a task
// run beside another.

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Suspends the task until the instant (Clock::time_point::max(): for ever);
// returns early (quietly) only when the wait is cancelled because it lost a
// race.
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

// Runs task, then stays suspended until cancelled. Whatever task throws
// ends only task.
inline asio::awaitable<void> until_cancelled(asio::awaitable<void> task) {
    try {
        co_await std::move(task);
    } catch (...) {
    }
    co_await sleep_until(Clock::time_point::max());
}

// Runs main with companion beside it (watchers that only feed main or emit
// events). Once main is done the companion is cancelled and waited for, so
// no task outlives it: a coroutine still suspended when the runtime is torn
// down would be destroyed through services that are already gone. A
// companion that ends early just leaves main to finish.
template <typename T>
asio::awaitable<T> alongside(asio::awaitable<T> main, asio::awaitable<void> companion) {
    const auto executor = co_await asio::this_coro::executor;
    auto [order, main_error, result, companion_error] =
        co_await asio::experimental::make_parallel_group(
            asio::co_spawn(executor, std::move(main), asio::experimental::deferred),
            asio::co_spawn(executor, until_cancelled(std::move(companion)),
                           asio::experimental::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    (void)order;
    (void)companion_error;  // its cancellation
    if (main_error) std::rethrow_exception(main_error);
    co_return result;
}

}  // namespace kelvo
