#include "main/runtime.h"

#include <exception>
#include <future>
#include <system_error>
#include <thread>

#include <fmt/format.h>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "common/output.h"
#include "main/dispatch.h"

namespace kelvo {

int run_top_level(std::vector<std::string> args) {
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    // The runtime lives until the process ends: it is never destroyed, since
    // its workers may still be leaving run() (or finishing a cancelled
    // handler) when the top-level task has returned, and the caller ends the
    // process right after this function.
    auto& context = *new asio::io_context(static_cast<int>(workers));
    auto work = asio::make_work_guard(context);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < workers; ++i) {
        try {
            threads.emplace_back([&context] { context.run(); });
        } catch (const std::system_error&) {
            // A container may refuse the system call threads are made with:
            // fewer workers, down to the main thread alone, still do the job.
            break;
        }
    }

    // The command's tasks share one strand: their handlers run on any
    // worker, never two at once, so the branches of a race cannot touch
    // shared state concurrently.
    // Like the runtime, the outcome outlives this function: the worker that
    // reports it may still be inside set_value() when the main thread wakes.
    struct Outcome {
        int status = 1;
        std::promise<void> ended;
    };
    auto& outcome = *new Outcome;
    asio::co_spawn(
        asio::make_strand(context), dispatch(std::move(args)),
        [&](std::exception_ptr failure, int result) {
            if (!failure) outcome.status = result;
            try {
                if (failure) std::rethrow_exception(failure);
            } catch (const std::exception& e) {
                print_stderr(fmt::format("kelvo-vmhelper: internal error: {}\n", e.what()));
            }
            // Pending tasks are not waited for: a worker may be
            // parked in a wait that nothing will end, and a
            // standard-input read may be blocked on its own
            // thread. Stopping the context and leaving the threads
            // behind lets the caller end the process at once.
            context.stop();
            outcome.ended.set_value();
        });
    if (threads.empty()) {
        context.run();
    } else {
        outcome.ended.get_future().wait();
    }
    for (auto& t : threads) t.detach();
    return outcome.status;
}

}  // namespace kelvo
