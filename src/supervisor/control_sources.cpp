#include "supervisor/control_sources.h"

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

#include "common/text.h"
#include "supervisor/control_command.h"

namespace kelvo {

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
