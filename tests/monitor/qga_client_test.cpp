#include "monitor/qga_client.h"

#include <vector>

#include "common/json.h"
#include "support/monitor_peer.h"

namespace kelvo {
namespace {

using namespace kelvo::test_support;
using nlohmann::json;

// Short limits so that time-outs stay quick; a test that needs the real 5 s
// line limit says so.
constexpr QgaTiming kShort{
    .connect_window = 300ms, .connect_retry = 20ms, .line_timeout = 200ms, .max_lines = 50};

// "return: {json}" or the error text.
std::string reply_text(const std::expected<json, std::string>& reply) {
    return reply ? "return: " + reply->dump() : reply.error();
}

// A connected agent socket; the peer side is scripted per test.
struct AgentSession {
    AgentSession() : acceptor(io, asio::local::stream_protocol::endpoint(dir.file("qga.sock"))) {}

    template <typename Peer>
    void start_peer(Peer peer) {
        spawn_peer(io, [this, peer]() -> asio::awaitable<void> {
            Socket socket = co_await acceptor.async_accept(asio::use_awaitable);
            co_await peer(socket, received);
        });
    }

    // Connects with `timing`, then runs `body` on the client.
    template <typename Body>
    std::optional<std::vector<std::string>> run(Body body, QgaTiming timing = kShort,
                                                std::chrono::milliseconds limit = 5s) {
        return run_bounded(
            io,
            [&]() -> asio::awaitable<std::vector<std::string>> {
                auto client = co_await QgaClient::connect(dir.file("qga.sock"), timing);
                if (!client) co_return std::vector<std::string>{client.error()};
                co_return co_await body(*client);
            }(),
            limit);
    }

    asio::io_context io;
    TempDir dir;  // the socket lives here
    Acceptor acceptor;
    std::vector<std::string> received;  // request lines as the peer read them
};

// Reads one request, then sends `answer`; keeps the connection open.
auto answer_with(std::string answer) {
    return [answer](Socket& socket, std::vector<std::string>& received) -> asio::awaitable<void> {
        std::string buffer;
        received.push_back(co_await receive_line(socket, buffer));
        co_await send_text(socket, answer);
        co_await pause(10s);
    };
}

// Runs `calls` pings and gives each outcome.
auto pings(int calls) {
    return [calls](QgaClient& qga) -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> out;
        for (int i = 0; i < calls; ++i)
            out.push_back(reply_text(co_await qga.call(qga_ping_request())));
        co_return out;
    };
}

TEST(QgaRequests, PingAndExecAreCompactAndSorted) {
    EXPECT_EQ(dump_compact(qga_ping_request()), "{\"execute\":\"guest-ping\"}");
    EXPECT_EQ(dump_compact(qga_exec_request("cmd")),
              "{\"arguments\":{\"arg\":[\"-c\",\"cmd\"],\"capture-output\":true,\"path\":\"/bin/"
              "sh\"},\"execute\":\"guest-exec\"}");
    EXPECT_EQ(qga_exec_request("netplan apply || dhclient \"$i\"")["arguments"]["arg"][1],
              "netplan apply || dhclient \"$i\"");
}

TEST(QgaClient, ConnectFailsAfterTheWindow) {
    TempDir dir;
    const std::string missing = dir.file("qga.sock");
    asio::io_context io;
    auto result = run_bounded(io, [&]() -> asio::awaitable<std::string> {
        co_return outcome(co_await QgaClient::connect(missing, kShort));
    }());
    EXPECT_EQ(result, "QGA connect " + missing + ": No such file or directory (os error 2)");
}

TEST(QgaClient, ConnectsToASocketThatAppearsLater) {
    TempDir dir;
    const std::string path = dir.file("qga.sock");
    asio::io_context io;
    spawn_peer(io, [&]() -> asio::awaitable<void> {
        co_await pause(500ms);
        Acceptor acceptor(io, asio::local::stream_protocol::endpoint(path));
        Socket socket = co_await acceptor.async_accept(asio::use_awaitable);
        co_await pause(10s);
    });
    auto result = run_bounded(io, [&]() -> asio::awaitable<std::string> {
        co_return outcome(co_await QgaClient::connect(
            path, {.connect_window = 3s, .connect_retry = 50ms, .line_timeout = 200ms}));
    }());
    EXPECT_EQ(result, "ok");
}

TEST(QgaClient, SingleReplies) {
    struct Case {
        std::string name;
        std::string answer;
        std::string result;
    } cases[] = {
        {"ping answered", "{\"return\": {}}\n", "return: {}"},
        {"events and noise skipped",
         "\n garbage\n{\"event\":\"x\"}\n[1]\n{\"return\": {\"pid\": 7}}\n", "return: {\"pid\":7}"},
        {"agent error",
         "{\"error\": {\"desc\": \"Command guest-exec has been disabled\", \"class\": "
         "\"GenericError\"}}\n",
         "QGA error: {\"class\":\"GenericError\",\"desc\":\"Command guest-exec has been "
         "disabled\"}"},
        {"an unfinished line is no reply", "{\"return\"", "QGA read timeout"},
    };
    for (const auto& c : cases) {
        AgentSession s;
        s.start_peer(answer_with(c.answer));
        EXPECT_EQ(s.run(pings(1)), (std::vector<std::string>{c.result})) << c.name;
        EXPECT_EQ(s.received, (std::vector<std::string>{"{\"execute\":\"guest-ping\"}\n"}))
            << c.name;
    }
}

TEST(QgaClient, ExecRequestOnTheWire) {
    AgentSession s;
    s.start_peer(answer_with("{\"return\": {\"pid\": 1234}}\n"));
    auto results = s.run([](QgaClient& qga) -> asio::awaitable<std::vector<std::string>> {
        const json request = qga_exec_request("cmd");
        std::string reply = reply_text(co_await qga.call(request));
        co_return std::vector<std::string>{reply};
    });
    EXPECT_EQ(results, (std::vector<std::string>{"return: {\"pid\":1234}"}));
    EXPECT_EQ(s.received,
              (std::vector<std::string>{
                  "{\"arguments\":{\"arg\":[\"-c\",\"cmd\"],\"capture-output\":true,\"path\":\"/"
                  "bin/sh\"},\"execute\":\"guest-exec\"}\n"}));
}

TEST(QgaClient, SilentAgentTimesOutAndStaysUsable) {
    AgentSession s;
    s.start_peer(
        [](Socket&, std::vector<std::string>&) -> asio::awaitable<void> { co_await pause(10s); });
    EXPECT_EQ(s.run(pings(2)), (std::vector<std::string>{"QGA read timeout", "QGA read timeout"}));
}

TEST(QgaClient, FiftyNonRepliesEndTheCallWithoutWaitingForMore) {
    // The real 5 s line limit: the call must end on the 50th line, not on a time-out.
    AgentSession s;
    s.start_peer(answer_with(std::string(50, '\n')));
    QgaTiming timing = kShort;
    timing.line_timeout = 5000ms;
    EXPECT_EQ(s.run(pings(1), timing, 3s), (std::vector<std::string>{"QGA: no return"}));
}

TEST(QgaClient, FiftiethLineMayStillBeTheReply) {
    AgentSession s;
    s.start_peer(answer_with(std::string(49, '\n') + "{\"return\": {}}\n"));
    EXPECT_EQ(s.run(pings(1)), (std::vector<std::string>{"return: {}"}));
}

TEST(QgaClient, LateReplyIsTakenByTheNextCall) {
    AgentSession s;
    s.start_peer([](Socket& socket, std::vector<std::string>& received) -> asio::awaitable<void> {
        std::string buffer;
        received.push_back(co_await receive_line(socket, buffer));
        co_await pause(300ms);  // past the first call's 200 ms line limit
        co_await send_text(socket, "{\"return\": {\"late\": 1}}\n");
        received.push_back(co_await receive_line(socket, buffer));
        co_await send_text(socket, "{\"return\": {\"late\": 2}}\n");
        co_await pause(10s);
    });
    auto results = s.run([](QgaClient& qga) -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> out;
        out.push_back(reply_text(co_await qga.call(qga_ping_request())));
        asio::steady_timer wait(co_await asio::this_coro::executor, 400ms);
        co_await wait.async_wait(asio::use_awaitable);
        out.push_back(reply_text(co_await qga.call(qga_ping_request())));
        out.push_back(reply_text(co_await qga.call(qga_ping_request())));
        co_return out;
    });
    EXPECT_EQ(results, (std::vector<std::string>{"QGA read timeout", "return: {\"late\":1}",
                                                 "return: {\"late\":2}"}));
    EXPECT_EQ(s.received.size(), 2u);  // the third request was read by nobody
}

TEST(QgaClient, PartialLineSurvivesATimeOut) {
    AgentSession s;
    s.start_peer([](Socket& socket, std::vector<std::string>& received) -> asio::awaitable<void> {
        std::string buffer;
        received.push_back(co_await receive_line(socket, buffer));
        co_await send_text(socket, "{\"return\": {\"ha");
        co_await pause(300ms);
        co_await send_text(socket, "lf\": true}}\n");
        co_await pause(10s);
    });
    auto results = s.run(pings(2));
    EXPECT_EQ(results, (std::vector<std::string>{"QGA read timeout", "return: {\"half\":true}"}));
}

TEST(QgaClient, AgentGoingAway) {
    AgentSession s;
    s.start_peer([](Socket& socket, std::vector<std::string>& received) -> asio::awaitable<void> {
        std::string buffer;
        received.push_back(co_await receive_line(socket, buffer));
    });
    EXPECT_EQ(s.run(pings(2)), (std::vector<std::string>{"QGA socket closed",
                                                         "QGA write: Broken pipe (os error 32)"}));
}

TEST(QgaClient, RepliesQueuedTogetherAreServedInOrder) {
    AgentSession s;
    s.start_peer(answer_with("{\"return\": {\"n\": 1}}\n{\"return\": {\"n\": 2}}\n"));
    EXPECT_EQ(s.run(pings(2)),
              (std::vector<std::string>{"return: {\"n\":1}", "return: {\"n\":2}"}));
}

}  // namespace
}  // namespace kelvo
