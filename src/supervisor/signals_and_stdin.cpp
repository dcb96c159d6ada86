#include "supervisor/signals_and_stdin.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/json.h"
#include "common/text.h"

namespace kelvo {

namespace {

// A command line is a few dozen bytes; a longer "line" is dropped whole
// instead of being buffered without end.
constexpr size_t kMaxLine = 1 << 20;

void take_line(std::string_view line, ControlChannel& channel) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (auto request = parse_control_command(line)) channel.send(*request);
}

// Waits until fd is readable; false when that cannot be waited for.
bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        if (::poll(&p, 1, -1) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

// Reads standard input without a thread of its own, for a process that
// cannot create one: a look every 100 ms, and a read only when it cannot
// block (pipes, sockets, terminals and files alike).
asio::awaitable<void> poll_control_commands(int fd, std::shared_ptr<ControlChannel> channel) {
    CommandLines lines(*channel);
    asio::steady_timer pause(co_await asio::this_coro::executor);
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) {
            pause.expires_after(std::chrono::milliseconds(100));
            auto [ec] =
                co_await pause.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
            if (ec) co_return;
            continue;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0) co_return;
        if (n == 0) break;
        lines.feed(std::string_view(buf, static_cast<size_t>(n)));
    }
    lines.finish();
}

}  // namespace

SignalWatcher::SignalWatcher(const asio::any_io_executor& executor) {
    auto signals = std::make_unique<asio::signal_set>(executor);
    for (int number : {SIGTERM, SIGINT, SIGUSR1}) {
        std::error_code ec;
        signals->add(number, ec);
        if (ec) {
            signals->clear(ec);
            return;
        }
    }
    signals_ = signals.release();
}

asio::awaitable<void> SignalWatcher::watch(std::shared_ptr<ControlChannel> channel) {
    if (!signals_) co_return;
    for (;;) {
        auto [ec, number] =
            co_await signals_->async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        channel->send(number == SIGUSR1 ? ControlRequest::Hibernate : ControlRequest::Stop);
    }
}

bool attached_mode() {
    const char* value = std::getenv("KELVO_HELPER_ATTACHED");
    return value != nullptr && is_valid_utf8(value);
}

std::optional<ControlRequest> parse_control_command(std::string_view line) {
    const std::string_view text = trim(line);
    if (text.empty()) return std::nullopt;
    const auto value = parse_json_line(text);
    if (!value || !value->is_object()) return std::nullopt;
    const auto cmd = value->find("cmd");
    if (cmd == value->end() || !cmd->is_string()) return std::nullopt;
    const auto& word = cmd->get_ref<const std::string&>();
    if (word == "stop") return ControlRequest::Stop;
    if (word == "kill") return ControlRequest::Kill;
    if (word == "hibernate") return ControlRequest::Hibernate;
    return std::nullopt;
}

CommandLines::CommandLines(ControlChannel& channel) : channel_(channel) {}

void CommandLines::feed(std::string_view chunk) {
    for (size_t nl; (nl = chunk.find('\n')) != std::string_view::npos;) {
        if (!overlong_) {
            pending_.append(chunk.substr(0, nl));
            take_line(pending_, channel_);
        }
        pending_.clear();
        overlong_ = false;
        chunk.remove_prefix(nl + 1);
    }
    if (!overlong_) pending_.append(chunk);
    if (pending_.size() > kMaxLine) {
        pending_.clear();
        overlong_ = true;
    }
}

void CommandLines::finish() {
    if (!overlong_) take_line(pending_, channel_);
    pending_.clear();
    channel_.send(ControlRequest::InputClosed);
}

void read_control_commands(int fd, ControlChannel& channel) {
    CommandLines lines(channel);
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Standard input inherited in non-blocking mode.
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_readable(fd)) continue;
            return;
        }
        if (n == 0) break;
        lines.feed(std::string_view(buf, static_cast<size_t>(n)));
    }
    lines.finish();
}

void start_command_reader(const asio::any_io_executor& executor,
                          std::shared_ptr<ControlChannel> channel) {
    try {
        std::thread([channel] { read_control_commands(STDIN_FILENO, *channel); }).detach();
    } catch (const std::system_error&) {
        // No thread to spare (a container that refuses the system call
        // threads are made with): standard input is polled instead.
        asio::co_spawn(executor, poll_control_commands(STDIN_FILENO, std::move(channel)),
                       asio::detached);
    }
}

}  // namespace kelvo
