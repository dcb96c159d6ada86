#pragma once

#include <expected>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <asio/local/stream_protocol.hpp>
#include <nlohmann/json.hpp>

#include "monitor/qmp_client.h"

namespace kelvo {

// {"execute":"guest-ping"}
nlohmann::json qga_ping_request();
// guest-exec of /bin/sh -c {command} with captured output.
nlohmann::json qga_exec_request(std::string_view command);

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
