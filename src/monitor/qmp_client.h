#pragma once

#include <chrono>
#include <deque>
#include <expected>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>
#include <nlohmann/json.hpp>

#include "monitor/monitor_line.h"

namespace kelvo {

// The connect window of QMP: 15 s, attempts 150 ms apart.
struct QmpConnectTiming {
    std::chrono::milliseconds window{15000};
    std::chrono::milliseconds retry{150};
};

// One open, negotiated QMP connection. Single owner, strictly sequential use.
// Every error text begins with "QMP ".
//
// QEMU answers requests in order, one reply each. A request whose reply was
// not read (its wait was cut short by a time limit) still owes that reply:
// the client drops as many replies as are owed before it takes one as the
// answer to the latest request, so a late reply never goes to the wrong one.
//
// Asynchronous events (STOP, RESUME, ...) that arrive while a reply is
// awaited are kept, the latest kMaxKeptEvents of them, for next_event().
class QmpClient {
  public:
    using Socket = asio::local::stream_protocol::socket;

    // Connects (retrying until the window closes), reads the greeting and
    // negotiates capabilities.
    static asio::awaitable<std::expected<QmpClient, std::string>> connect(
        std::string path, QmpConnectTiming timing = {});

    asio::awaitable<std::expected<void, std::string>> send(std::string_view command,
                                                           const nlohmann::json& arguments);
    asio::awaitable<std::expected<std::string, std::string>> read_line();
    asio::awaitable<std::expected<nlohmann::json, std::string>> read_reply();
    asio::awaitable<std::expected<void, std::string>> call(std::string_view command,
                                                           const nlohmann::json& arguments);
    asio::awaitable<std::expected<void, std::string>> execute(std::string_view command);
    asio::awaitable<std::expected<nlohmann::json, std::string>> query(std::string_view command);
    // Sends `quit`; the reply (or its absence) is ignored.
    asio::awaitable<std::expected<void, std::string>> quit();
    asio::awaitable<std::expected<void, std::string>> cont();

    // The next asynchronous event object: a kept one first, else the next one
    // received (late replies still owed are dropped meanwhile). Meant to be
    // raced against other waits: a cancelled read loses no bytes.
    asio::awaitable<std::expected<nlohmann::json, std::string>> next_event();

    static constexpr size_t kMaxKeptEvents = 32;

    // The emulator's version from the greeting: "7.2.0 (Debian 1:7.2+dfsg-7)",
    // "7.2.0" without a package, "" when the greeting did not say.
    const std::string& version() const { return version_; }
    static std::string version_of_greeting(std::string_view greeting_line);

    // The string member `status` of a reply value, or "unknown".
    static std::string status_of(const nlohmann::json& reply);

    explicit QmpClient(Socket socket) : socket_(std::move(socket)) {}

  private:
    Socket socket_;
    std::string buffer_;                 // bytes read ahead of the current line
    size_t unanswered_ = 0;              // requests sent whose reply has not been read
    std::deque<nlohmann::json> events_;  // received while a reply was awaited
    std::string version_;
};

}  // namespace kelvo
