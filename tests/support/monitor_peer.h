#pragma once

// Peers on a Unix socket standing in for QEMU's monitor or the guest agent.
//
// FakeMonitor serves from a thread of its own and answers each request line
// with what a responder returns: for code that runs on its own runtime.
//
// The scripted peer tools below write and read exact bytes from a coroutine
// on the test's io_context, and run_bounded drives that io_context with a
// limit: for the client tests, where everything runs on one io_context in the
// test's own thread.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <nlohmann/json.hpp>

#include "support/temp_dir.h"

namespace kelvo::test_support {

using namespace std::chrono_literals;
using Socket = asio::local::stream_protocol::socket;
using Acceptor = asio::local::stream_protocol::acceptor;

// A monitor peer on a Unix socket, served by a thread: every request line is
// recorded and answered with the lines the responder returns. A responder
// returning {"<close>"} hangs up. QMP peers greet first; the agent does not.
class FakeMonitor {
  public:
    using Responder =
        std::function<std::vector<std::string>(const std::string& command, const nlohmann::json&)>;

    static std::vector<std::string> ok() { return {R"({"return": {}})"}; }

    FakeMonitor(std::string path, Responder responder, std::string greeting = kQmpGreeting)
        : path_(std::move(path)), responder_(std::move(responder)), greeting_(std::move(greeting)) {
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        ::unlink(path_.c_str());
        if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 4) != 0)
            ADD_FAILURE() << "cannot listen on " << path_;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeMonitor() {
        stopping_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        {
            std::lock_guard guard(mutex_);
            if (client_fd_ >= 0) ::shutdown(client_fd_, SHUT_RDWR);
        }
        thread_.join();
        ::close(listen_fd_);
        ::unlink(path_.c_str());
    }

    // The commands received, in order (`execute` of each request).
    std::vector<std::string> commands() {
        std::lock_guard guard(mutex_);
        std::vector<std::string> out;
        for (const auto& r : requests_) out.push_back(r.value("execute", ""));
        return out;
    }
    std::vector<nlohmann::json> requests() {
        std::lock_guard guard(mutex_);
        return requests_;
    }
    std::vector<std::string> raw_lines() {
        std::lock_guard guard(mutex_);
        return raw_;
    }

    static constexpr const char* kQmpGreeting =
        R"({"QMP": {"version": {"qemu": {"micro": 0, "minor": 2, "major": 7}}, "capabilities": ["oob"]}})";

  private:
    void serve() {
        while (!stopping_) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            {
                std::lock_guard guard(mutex_);
                client_fd_ = fd;
            }
            session(fd);
            std::lock_guard guard(mutex_);
            client_fd_ = -1;
            ::close(fd);
        }
    }

    void session(int fd) {
        if (!greeting_.empty() && !send_line(fd, greeting_)) return;
        std::string buffer;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t nl; (nl = buffer.find('\n')) != std::string::npos;) {
                const std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                auto request = nlohmann::json::parse(line, nullptr, false);
                if (!request.is_object()) continue;
                const std::string command = request.value("execute", "");
                const nlohmann::json arguments =
                    request.value("arguments", nlohmann::json::object());
                {
                    std::lock_guard guard(mutex_);
                    requests_.push_back(request);
                    raw_.push_back(line);
                }
                std::vector<std::string> reply =
                    command == "qmp_capabilities" ? ok() : responder_(command, arguments);
                for (const auto& out : reply) {
                    if (out == "<close>") return;
                    if (!send_line(fd, out)) return;
                }
            }
        }
    }

    static bool send_line(int fd, const std::string& line) {
        const std::string text = line + "\n";
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }

    std::string path_;
    Responder responder_;
    std::string greeting_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    int client_fd_ = -1;
    std::vector<nlohmann::json> requests_;
    std::vector<std::string> raw_;
    std::thread thread_;
};

// The scripted peer tools.

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

}  // namespace kelvo::test_support
