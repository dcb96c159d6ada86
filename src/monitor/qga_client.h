#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>
#include <nlohmann/json.hpp>

#include "monitor/monitor_line.h"

namespace kelvo {

// The guest agent's connect window: 10 s, attempts 200 ms apart; each reply
// line may take 5 s; at most 50 lines per call.
struct QgaTiming {
    std::chrono::milliseconds connect_window{10000};
    std::chrono::milliseconds connect_retry{200};
    std::chrono::milliseconds line_timeout{5000};
    int max_lines = 50;
};

// {"execute":"guest-ping"}
nlohmann::json qga_ping_request();
// guest-exec of /bin/sh -c {command} with captured output.
nlohmann::json qga_exec_request(std::string_view command);
// guest-set-time to this many nanoseconds since the epoch.
nlohmann::json qga_set_time_request(int64_t epoch_ns);

// One open connection to the guest agent's socket. No handshake; a reply is
// the next line with `error` or `return`. Every error text begins with "QGA".
class QgaClient {
  public:
    using Socket = asio::local::stream_protocol::socket;

    static asio::awaitable<std::expected<QgaClient, std::string>> connect(std::string path,
                                                                          QgaTiming timing = {});
    // Writes the request, then reads up to max_lines lines for its reply.
    asio::awaitable<std::expected<nlohmann::json, std::string>> call(const nlohmann::json& request);

    QgaClient(Socket socket, QgaTiming timing) : socket_(std::move(socket)), timing_(timing) {}

    // Closes the connection; later calls fail.
    void close();

  private:
    // The next line, allowing line_timeout for it unless one is buffered.
    asio::awaitable<std::expected<std::string, std::string>> read_line();

    Socket socket_;
    QgaTiming timing_;
    std::string buffer_;
};

}  // namespace kelvo
