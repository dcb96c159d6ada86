#include "monitor/unix_connect.h"

#include <sys/un.h>
#include <cerrno>

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/os_error.h"

namespace kelvo {

asio::awaitable<std::expected<asio::local::stream_protocol::socket, std::string>> connect_unix(
    const std::string& path, std::chrono::milliseconds window, std::chrono::milliseconds retry) {
    using Socket = asio::local::stream_protocol::socket;
    const auto executor = co_await asio::this_coro::executor;
    const auto deadline = std::chrono::steady_clock::now() + window;

    // A path that does not fit a socket address can never be connected.
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        co_return std::unexpected(os_error(ENAMETOOLONG));
    }
    const asio::local::stream_protocol::endpoint endpoint(path);

    for (;;) {
        Socket socket(executor);  // a fresh socket per attempt; a failed one closes here
        asio::error_code ec;
        co_await socket.async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
        if (!ec) co_return std::move(socket);
        if (std::chrono::steady_clock::now() >= deadline)
            co_return std::unexpected(os_error(ec.value()));

        asio::steady_timer timer(executor, retry);
        asio::error_code wait_ec;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, wait_ec));
        if (wait_ec) co_return std::unexpected(os_error(ec.value()));  // cancelled: stop trying
    }
}

}  // namespace kelvo
