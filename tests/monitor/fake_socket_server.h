#pragma once

// A scripted peer on a Unix socket in a temporary directory, and a bounded
// runner, for the monitor client tests. Everything runs on one io_context in
// the test's own thread.

#include <stdlib.h>

#include <chrono>
#include <exception>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "support/temp_dir.h"

namespace kelvo::monitor_test {

using namespace std::chrono_literals;
using Socket = asio::local::stream_protocol::socket;
using Acceptor = asio::local::stream_protocol::acceptor;

using test_support::TempDir;

// Runs `task` on `io` for at most `limit`; nothing when it did not finish.
template <typename T>
std::optional<T> run_bounded(asio::io_context& io, asio::awaitable<T> task,
                             std::chrono::milliseconds limit = 5s) {
    std::optional<T> result;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr error, T value) {
        io.stop();  // a peer may still be waiting; it ends with the io_context
        if (error) {
            ADD_FAILURE() << "the task threw";
            return;
        }
        result.emplace(std::move(value));
    });
    io.run_for(limit);
    EXPECT_TRUE(result.has_value()) << "the task did not finish within the limit";
    return result;
}

// Starts a detached peer coroutine; a failure inside it fails the test.
template <typename F>
void spawn_peer(asio::io_context& io, F peer) {
    asio::co_spawn(io, std::move(peer), [](std::exception_ptr error) {
        if (!error) return;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "peer: " << e.what();
        }
    });
}

// "ok", or the error text.
template <typename T>
std::string outcome(const std::expected<T, std::string>& result) {
    return result ? std::string("ok") : result.error();
}

inline asio::awaitable<void> send_text(Socket& socket, std::string text) {
    co_await asio::async_write(socket, asio::buffer(text), asio::use_awaitable);
}

// One line (line feed included) from the client; `buffer` keeps what follows.
inline asio::awaitable<std::string> receive_line(Socket& socket, std::string& buffer) {
    const std::size_t n = co_await asio::async_read_until(socket, asio::dynamic_buffer(buffer),
                                                          '\n', asio::use_awaitable);
    std::string line = buffer.substr(0, n);
    buffer.erase(0, n);
    co_return line;
}

inline asio::awaitable<void> pause(std::chrono::milliseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace kelvo::monitor_test
