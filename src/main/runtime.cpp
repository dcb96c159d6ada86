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
#include <asio/use_future.hpp>

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
    try {
        for (unsigned i = 0; i < workers; ++i) threads.emplace_back([&context] { context.run(); });
    } catch (const std::system_error& e) {
        print_stderr(fmt::format("Failed building the Runtime: {}\n", e.what()));
        std::_Exit(1);
    }

    int status = 1;
    try {
        // The command's tasks share one strand: their handlers run on any
        // worker, never two at once, so the branches of a race cannot touch
        // shared state concurrently.
        std::future<int> top =
            asio::co_spawn(asio::make_strand(context), dispatch(std::move(args)), asio::use_future);
        status = top.get();
    } catch (const std::exception& e) {
        print_stderr(fmt::format("kelvo-vmhelper: internal error: {}\n", e.what()));
    }
    // Pending tasks are not waited for: a worker may be parked in a wait that
    // nothing will end, and a standard-input read may be blocked on its own
    // thread. Stopping the context and leaving the threads behind lets the
    // caller end the process at once.
    context.stop();
    for (auto& t : threads) t.detach();
    return status;
}

}  // namespace kelvo
