#include "monitor/qmp_client.h"

#include <fmt/format.h>
#include <asio/buffer.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "common/json.h"
#include "common/os_error.h"
#include "monitor/line_reader.h"
#include "monitor/unix_connect.h"

namespace kelvo {

asio::awaitable<std::expected<QmpClient, std::string>> QmpClient::connect(std::string path,
                                                                          QmpConnectTiming timing) {
    auto socket = co_await connect_unix(path, timing.window, timing.retry);
    if (!socket) {
        co_return std::unexpected(fmt::format("QMP connect {}: {}", path, socket.error()));
    }
    QmpClient client(std::move(*socket));

    // Only the emulator's version is taken from the greeting. A failed
    // handshake closes the socket with the client.
    if (auto greeting = co_await client.read_line(); !greeting) {
        co_return std::unexpected(std::move(greeting.error()));
    } else {
        client.version_ = version_of_greeting(*greeting);
    }
    if (auto negotiated = co_await client.execute("qmp_capabilities"); !negotiated) {
        co_return std::unexpected(std::move(negotiated.error()));
    }
    co_return std::move(client);
}

std::string QmpClient::version_of_greeting(std::string_view greeting_line) {
    // {"QMP": {"version": {"qemu": {"major": 7, "minor": 2, "micro": 0},
    //                      "package": "Debian 1:7.2+dfsg-7"}, ...}}
    const auto member = [](const nlohmann::json* object, const char* key) -> const nlohmann::json* {
        if (object == nullptr || !object->is_object()) return nullptr;
        const auto it = object->find(key);
        return it == object->end() ? nullptr : &*it;
    };
    const auto greeting = parse_json_line(greeting_line);
    if (!greeting) return "";
    const nlohmann::json* version = member(member(&*greeting, "QMP"), "version");
    const nlohmann::json* qemu = member(version, "qemu");
    if (qemu == nullptr || !qemu->is_object()) return "";
    const auto part = [&](const char* key) {
        const nlohmann::json* n = member(qemu, key);
        return n != nullptr && n->is_number_unsigned() ? n->get<uint64_t>() : uint64_t{0};
    };
    std::string text = fmt::format("{}.{}.{}", part("major"), part("minor"), part("micro"));
    if (const nlohmann::json* package = member(version, "package");
        package != nullptr && package->is_string() && !package->get<std::string>().empty())
        text += " (" + package->get<std::string>() + ")";
    return text;
}

asio::awaitable<std::expected<void, std::string>> QmpClient::send(std::string_view command,
                                                                  const nlohmann::json& arguments) {
    const std::string line = monitor_request_line(command, arguments);
    ++unanswered_;
    asio::error_code ec;
    co_await asio::async_write(socket_, asio::buffer(line),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::unexpected("QMP write: " + os_error(ec.value()));
    co_return std::expected<void, std::string>{};
}

asio::awaitable<std::expected<std::string, std::string>> QmpClient::read_line() {
    const asio::error_code ec = co_await fill_line(socket_, buffer_);
    const bool at_end = ec == asio::error::eof;
    if (auto line = take_line(buffer_, at_end)) co_return std::move(*line);
    if (at_end) co_return std::unexpected(std::string("QMP socket closed"));
    co_return std::unexpected("QMP read: " + os_error(ec.value()));
}

asio::awaitable<std::expected<nlohmann::json, std::string>> QmpClient::read_reply() {
    // Events QEMU emits between a request and its reply are skipped, and so
    // are the late replies still owed to earlier requests.
    for (;;) {
        auto line = co_await read_line();
        if (!line) co_return std::unexpected(std::move(line.error()));
        ClassifiedLine reply = classify_reply_line(*line);
        if (reply.kind == ReplyKind::Ignored) continue;
        if (reply.kind == ReplyKind::Event) {
            if (events_.size() == kMaxKeptEvents) events_.pop_front();
            events_.push_back(std::move(reply.value));
            continue;
        }
        if (unanswered_ > 0) --unanswered_;
        if (unanswered_ > 0) continue;
        if (reply.kind == ReplyKind::Error) {
            co_return std::unexpected("QMP error: " + dump_compact(reply.value));
        }
        co_return std::move(reply.value);
    }
}

asio::awaitable<std::expected<nlohmann::json, std::string>> QmpClient::next_event() {
    for (;;) {
        if (!events_.empty()) {
            nlohmann::json event = std::move(events_.front());
            events_.pop_front();
            co_return event;
        }
        auto line = co_await read_line();
        if (!line) co_return std::unexpected(std::move(line.error()));
        ClassifiedLine received = classify_reply_line(*line);
        if (received.kind == ReplyKind::Event) co_return std::move(received.value);
        if (received.kind != ReplyKind::Ignored && unanswered_ > 0) --unanswered_;
    }
}

asio::awaitable<std::expected<void, std::string>> QmpClient::call(std::string_view command,
                                                                  const nlohmann::json& arguments) {
    if (auto sent = co_await send(command, arguments); !sent) co_return sent;
    auto reply = co_await read_reply();
    if (!reply) co_return std::unexpected(std::move(reply.error()));
    co_return std::expected<void, std::string>{};
}

asio::awaitable<std::expected<void, std::string>> QmpClient::execute(std::string_view command) {
    co_return co_await call(command, nlohmann::json::object());
}

asio::awaitable<std::expected<nlohmann::json, std::string>> QmpClient::query(
    std::string_view command) {
    if (auto sent = co_await send(command, nlohmann::json::object()); !sent) {
        co_return std::unexpected(std::move(sent.error()));
    }
    co_return co_await read_reply();
}

asio::awaitable<std::expected<void, std::string>> QmpClient::quit() {
    if (auto sent = co_await send("quit", nlohmann::json::object()); !sent) co_return sent;
    // QEMU may close the socket before or instead of answering.
    (void)co_await read_reply();
    co_return std::expected<void, std::string>{};
}

asio::awaitable<std::expected<void, std::string>> QmpClient::cont() {
    co_return co_await execute("cont");
}

std::string QmpClient::status_of(const nlohmann::json& reply) {
    if (reply.is_object()) {
        if (auto status = reply.find("status"); status != reply.end() && status->is_string()) {
            return status->get<std::string>();
        }
    }
    return "unknown";
}

}  // namespace kelvo
