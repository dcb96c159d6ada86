#include "monitor/line_reader.h"

#include <array>
#include <utility>

#include <asio/buffer.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace kelvo {

asio::awaitable<asio::error_code> fill_line(asio::local::stream_protocol::socket& socket,
                                            std::string& buffer) {
    std::array<char, 4096> chunk;
    std::size_t scanned = 0;  // bytes already known to hold no line feed
    while (buffer.find('\n', scanned) == std::string::npos) {
        scanned = buffer.size();
        asio::error_code ec;
        const std::size_t n = co_await socket.async_read_some(
            asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
        buffer.append(chunk.data(), n);
        if (ec) co_return ec;
    }
    co_return asio::error_code{};
}

std::optional<std::string> take_line(std::string& buffer, bool at_end) {
    const std::size_t end = buffer.find('\n');
    if (end == std::string::npos) {
        if (!at_end || buffer.empty()) return std::nullopt;
        return std::exchange(buffer, std::string{});
    }
    std::string line = buffer.substr(0, end + 1);
    buffer.erase(0, end + 1);
    return line;
}

}  // namespace kelvo
