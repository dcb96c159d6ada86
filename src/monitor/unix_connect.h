#pragma once

#include <chrono>
#include <expected>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>

namespace kelvo {

// Opens a Unix-domain stream connection to `path`, trying again `retry`
// after each failed attempt while the `window` since the first attempt is
// still open. At least one attempt is made; the time is looked at only after
// a failed attempt. The error is the reason the last attempt failed
// ("Connection refused (os error 111)").
asio::awaitable<std::expected<asio::local::stream_protocol::socket, std::string>> connect_unix(
    const std::string& path, std::chrono::milliseconds window, std::chrono::milliseconds retry);

}  // namespace kelvo
