#include "monitor/qga_client.h"

#include <fmt/format.h>
#include <asio/buffer.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "common/awaitables.h"
#include "common/json.h"
#include "common/os_error.h"
#include "monitor/line_reader.h"
#include "monitor/unix_connect.h"

namespace kelvo {

nlohmann::json qga_ping_request() {
    return {{"execute", "guest-ping"}};
}

nlohmann::json qga_set_time_request(int64_t epoch_ns) {
    return {{"arguments", {{"time", epoch_ns}}}, {"execute", "guest-set-time"}};
}

nlohmann::json qga_exec_request(std::string_view command) {
    nlohmann::json arguments = {
        {"arg", nlohmann::json::array({"-c", std::string(command)})},
        {"capture-output", true},
        {"path", "/bin/sh"},
    };
    return {{"arguments", std::move(arguments)}, {"execute", "guest-exec"}};
}

namespace {

// One line's worth of reading, as an outcome `within` can bound.
asio::awaitable<std::expected<asio::error_code, std::string>> fill(
    asio::local::stream_protocol::socket& socket, std::string& buffer) {
    co_return co_await fill_line(socket, buffer);
}

}  // namespace

asio::awaitable<std::expected<QgaClient, std::string>> QgaClient::connect(std::string path,
                                                                          QgaTiming timing) {
    auto socket = co_await connect_unix(path, timing.connect_window, timing.connect_retry);
    if (!socket) {
        co_return std::unexpected(fmt::format("QGA connect {}: {}", path, socket.error()));
    }
    co_return QgaClient(std::move(*socket), timing);
}

asio::awaitable<std::expected<std::string, std::string>> QgaClient::read_line() {
    if (auto line = take_line(buffer_, false)) co_return std::move(*line);

    const auto filled =
        co_await within(fill(socket_, buffer_), timing_.line_timeout, "QGA read timeout");

    // Bytes that arrived stay buffered whichever side won, so a line completed
    // at the moment of the time-out is still taken, and a partial one is kept
    // for the next call.
    if (auto line = take_line(buffer_, false)) co_return std::move(*line);
    if (!filled) co_return std::unexpected(filled.error());
    if (*filled == asio::error::eof) {
        if (auto last = take_line(buffer_, true)) co_return std::move(*last);
        co_return std::unexpected(std::string("QGA socket closed"));
    }
    co_return std::unexpected("QGA read: " + os_error(filled->value()));
}

asio::awaitable<std::expected<nlohmann::json, std::string>> QgaClient::call(
    const nlohmann::json& request) {
    std::string line = dump_compact(request);
    line += '\n';
    asio::error_code ec;
    co_await asio::async_write(socket_, asio::buffer(line),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::unexpected("QGA write: " + os_error(ec.value()));

    // Replies carry no identifier: the first `error` or `return` line is the
    // answer, even when it was meant for an earlier request that timed out.
    for (int read = 0; read < timing_.max_lines; ++read) {
        auto received = co_await read_line();
        if (!received) co_return std::unexpected(std::move(received.error()));
        ClassifiedLine reply = classify_reply_line(*received);
        switch (reply.kind) {
            case ReplyKind::Error:
                co_return std::unexpected("QGA error: " + dump_compact(reply.value));
            case ReplyKind::Return:
                co_return std::move(reply.value);
            case ReplyKind::Event:
            case ReplyKind::Ignored:
                break;
        }
    }
    co_return std::unexpected(std::string("QGA: no return"));
}

void QgaClient::close() {
    asio::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace kelvo
