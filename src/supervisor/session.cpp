#include "supervisor/session.h"

#include <csignal>

#include "common/exit_status.h"
#include "events/events.h"

namespace kelvo {

namespace {

constexpr std::string_view kReplyTimedOut = "QMP reply timed out";

}  // namespace

asio::awaitable<std::expected<QmpClient, std::string>> connect_qmp(std::string path,
                                                                   const RunTimings& timings) {
    co_return co_await within(QmpClient::connect(std::move(path), timings.qmp_connect),
                              timings.qmp_connect.window + timings.qmp_handshake_limit,
                              "QMP handshake timed out");
}

asio::awaitable<std::expected<void, std::string>> qmp_call(Supervisor& s, std::string_view command,
                                                           nlohmann::json arguments) {
    co_return co_await within(s.qmp->call(command, arguments), s.timings.qmp_reply_limit,
                              kReplyTimedOut);
}

asio::awaitable<std::expected<nlohmann::json, std::string>> qmp_query(Supervisor& s,
                                                                      std::string_view command) {
    co_return co_await within(s.qmp->query(command), s.timings.qmp_reply_limit, kReplyTimedOut);
}

asio::awaitable<void> qmp_cont(Supervisor& s) {
    (void)co_await within(s.qmp->cont(), s.timings.qmp_reply_limit, kReplyTimedOut);
}

asio::awaitable<void> qmp_quit(Supervisor& s) {
    (void)co_await within(s.qmp->quit(), s.timings.qmp_reply_limit, kReplyTimedOut);
}

void kill_qemu(Supervisor& s) {
    s.qemu.kill(SIGKILL);
}

bool qemu_ended(Supervisor& s) {
    const auto state = s.qemu.try_wait();
    return !state || state->ended;
}

void report_qemu_end(const std::expected<int, std::string>& status) {
    if (!status)
        emit_error("waiting on qemu: " + status.error());
    else if (wait_status_success(*status))
        emit_log("qemu exited cleanly");
    else
        emit_log("qemu exited with status " + describe_wait_status(*status));
}

}  // namespace kelvo
