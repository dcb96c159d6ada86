#include "supervisor/probe.h"

#include <array>
#include <string_view>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "supervisor/time_limit.h"

namespace kelvo {

asio::awaitable<bool> probe_ssh(uint16_t port, ProbeTimings timings) {
    using namespace asio::experimental::awaitable_operators;
    using asio::ip::tcp;
    tcp::socket socket(co_await asio::this_coro::executor);
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);

    auto connected = co_await (
        socket.async_connect(endpoint, asio::experimental::as_tuple(asio::use_awaitable)) ||
        sleep_for(timings.connect));
    if (connected.index() != 0 || std::get<0>(std::get<0>(connected))) co_return false;

    std::array<char, 4> banner{};
    auto read =
        co_await (socket.async_read_some(asio::buffer(banner),
                                         asio::experimental::as_tuple(asio::use_awaitable)) ||
                  sleep_for(timings.read));
    if (read.index() != 0) co_return false;
    const auto [ec, n] = std::get<0>(read);
    co_return !ec && std::string_view(banner.data(), n) == "SSH-";
}

}  // namespace kelvo
