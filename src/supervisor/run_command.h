#pragma once

#include <exception>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "config/helper_config.h"
#include "machine/arch.h"
#include "supervisor/timings.h"

namespace kelvo {

// The `run` command: boots the VM under QEMU and supervises it until QEMU
// ends. Returns the exit status (0, or 1 for a failure before supervision).
asio::awaitable<int> run_command(const HelperConfig& config, Arch arch);

// run_command with its time limits given (tests shorten them).
asio::awaitable<int> run_vm(const HelperConfig& config, Arch arch, const RunTimings& timings);

// Runs task, then stays suspended until cancelled. Whatever task throws
// ends only task.
inline asio::awaitable<void> until_cancelled(asio::awaitable<void> task) {
    try {
        co_await std::move(task);
    } catch (...) {
    }
    asio::steady_timer parked(co_await asio::this_coro::executor,
                              asio::steady_timer::time_point::max());
    (void)co_await parked.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
}

// Runs main with companion beside it (watchers that only feed main or emit
// events). Once main is done the companion is cancelled and waited for, so
// no task of the command outlives it: a coroutine still suspended when the
// runtime is torn down would be destroyed through services that are already
// gone. A companion that ends early just leaves main to finish.
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
