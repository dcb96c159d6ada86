#include "supervisor/control_sources.h"

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/signal_set.hpp>
#include <asio/use_awaitable.hpp>

#include "common/text.h"
#include "supervisor/control_command.h"

namespace kelvo {

namespace {

asio::awaitable<void> watch_signals(std::unique_ptr<asio::signal_set> signals,
                                    std::shared_ptr<ControlChannel> channel) {
    for (;;) {
        auto [ec, number] =
            co_await signals->async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        channel->send(number == SIGUSR1 ? ControlRequest::Hibernate : ControlRequest::Stop);
    }
}

}  // namespace

void start_signal_watcher(const asio::any_io_executor& executor,
                          std::shared_ptr<ControlChannel> channel) {
    auto signals = std::make_unique<asio::signal_set>(executor);
    for (int number : {SIGTERM, SIGINT, SIGUSR1}) {
        std::error_code ec;
        signals->add(number, ec);
        if (ec) {
            signals->clear(ec);
            return;
        }
    }
    asio::co_spawn(executor, watch_signals(std::move(signals), std::move(channel)), asio::detached);
}

bool attached_mode() {
    const char* value = std::getenv("KELVO_HELPER_ATTACHED");
    return value != nullptr && is_valid_utf8(value);
}

void start_command_reader(std::shared_ptr<ControlChannel> channel) {
    try {
        std::thread([channel = std::move(channel)] {
            read_control_commands(STDIN_FILENO, *channel);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: standard-input commands are not taken.
    }
}

}  // namespace kelvo
