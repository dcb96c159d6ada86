#include "monitor/qmp_client.h"

#include <dirent.h>

#include <fstream>
#include <vector>

#include <asio/experimental/awaitable_operators.hpp>

#include "support/monitor_peer.h"

namespace kelvo {
namespace {

using namespace kelvo::test_support;
using nlohmann::json;

constexpr char kGreeting[] =
    R"({"QMP": {"version": {"qemu": {"micro": 0, "minor": 2, "major": 8}}, "capabilities": []}})"
    "\n";
constexpr QmpConnectTiming kShortWindow{.window = 300ms, .retry = 20ms};

// Accepts one client and negotiates like QEMU does; checks the capability
// request's bytes.
asio::awaitable<Socket> accept_and_negotiate(Acceptor& acceptor, std::string& buffer) {
    Socket socket = co_await acceptor.async_accept(asio::use_awaitable);
    co_await send_text(socket, kGreeting);
    EXPECT_EQ(co_await receive_line(socket, buffer), "{\"execute\":\"qmp_capabilities\"}\n");
    co_await send_text(socket, "{\"return\": {}}\n");
    co_return socket;
}

int open_fd_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

TEST(QmpStatusOf, TakesOnlyAStringStatus) {
    struct Case {
        json reply;
        std::string status;
    } cases[] = {
        {{{"running", true}, {"status", "running"}}, "running"},
        {{{"status", "completed"}}, "completed"},
        {json::object(), "unknown"},
        {{{"status", 3}}, "unknown"},
        {{{"status", nullptr}}, "unknown"},
        {json::array({"status"}), "unknown"},
        {json("running"), "unknown"},
        {json(), "unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(QmpClient::status_of(c.reply), c.status) << c.reply;
}

TEST(QmpClient, NegotiatesPastGreetingAndEvents) {
    asio::io_context io;
    TempDir dir;
    const std::string path = dir.file("qmp.sock");
    Acceptor acceptor(io, asio::local::stream_protocol::endpoint(path));
    spawn_peer(io, [&]() -> asio::awaitable<void> {
        std::string buffer;
        Socket socket = co_await acceptor.async_accept(asio::use_awaitable);
        co_await send_text(socket, kGreeting);
        EXPECT_EQ(co_await receive_line(socket, buffer), "{\"execute\":\"qmp_capabilities\"}\n");
        co_await send_text(socket,
                           "{\"event\": \"NIC_RX_FILTER_CHANGED\", \"data\": {}, \"timestamp\": "
                           "{\"seconds\": 1, \"microseconds\": 2}}\n");
        co_await send_text(socket, "{\"return\": {}}\n");
        EXPECT_EQ(co_await receive_line(socket, buffer), "{\"execute\":\"query-status\"}\n");
        co_await send_text(socket, "{\"return\": {\"running\": true, \"status\": \"running\"}}\n");
        co_await pause(10s);
    });
    auto result = run_bounded(io, [&]() -> asio::awaitable<std::string> {
        auto client = co_await QmpClient::connect(path);
        if (!client) co_return client.error();
        auto reply = co_await client->query("query-status");
        if (!reply) co_return reply.error();
        co_return QmpClient::status_of(*reply);
    }());
    EXPECT_EQ(result, "running");
}

TEST(QmpClient, ConnectsToASocketThatAppearsLater) {
    asio::io_context io;
    TempDir dir;
    const std::string path = dir.file("qmp.sock");
    spawn_peer(io, [&]() -> asio::awaitable<void> {
        co_await pause(1s);
        Acceptor acceptor(io, asio::local::stream_protocol::endpoint(path));
        std::string buffer;
        Socket socket = co_await accept_and_negotiate(acceptor, buffer);
        co_await pause(10s);
    });
    auto result = run_bounded(io, [&]() -> asio::awaitable<std::string> {
        co_return outcome(co_await QmpClient::connect(path, {.window = 4s, .retry = 50ms}));
    }());
    EXPECT_EQ(result, "ok");
}

TEST(QmpClient, ConnectFailsWithTheLastAttemptsError) {
    TempDir dir;
    const std::string missing = dir.file("qmp.sock");
    const std::string regular = dir.file("not-a-socket");
    std::ofstream(regular) << "x";
    const std::string too_long = dir.file(std::string(200, 'q'));
    struct Case {
        std::string path;
        QmpConnectTiming timing;
        std::string error;
    } cases[] = {
        {missing, kShortWindow,
         "QMP connect " + missing + ": No such file or directory (os error 2)"},
        // A window that is already over still gets its one attempt.
        {missing,
         {.window = 0ms, .retry = 20ms},
         "QMP connect " + missing + ": No such file or directory (os error 2)"},
        {regular, kShortWindow, "QMP connect " + regular + ": Connection refused (os error 111)"},
        {too_long, kShortWindow, "QMP connect " + too_long + ": File name too long (os error 36)"},
    };
    for (const auto& c : cases) {
        asio::io_context io;
        auto result = run_bounded(io, [&]() -> asio::awaitable<std::string> {
            co_return outcome(co_await QmpClient::connect(c.path, c.timing));
        }());
        EXPECT_EQ(result, c.error);
    }
}

TEST(QmpClient, FailedConnectAttemptsLeakNoDescriptor) {
    TempDir dir;
    const std::string missing = dir.file("qmp.sock");
    const int before = open_fd_count();
    {
        asio::io_context io;
        run_bounded(io, [&]() -> asio::awaitable<std::string> {
            co_return outcome(co_await QmpClient::connect(missing, kShortWindow));
        }());
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST(QmpClient, HandshakeFailures) {
    struct Case {
        std::string name;
        std::string peer_sends;  // after the greeting (or instead of it when empty)
        bool greet;
        std::string error;
    } cases[] = {
        {"closed before the greeting", "", false, "QMP socket closed"},
        {"closed after the greeting", "", true, "QMP socket closed"},
        {"capabilities refused",
         "{\"error\": {\"desc\": \"Capability negotiation already complete\", \"class\": "
         "\"CommandNotFound\"}}\n",
         true,
         "QMP error: {\"class\":\"CommandNotFound\",\"desc\":\"Capability negotiation already "
         "complete\"}"},
    };
    for (const auto& c : cases) {
        asio::io_context io;
        TempDir dir;
        const std::string path = dir.file("qmp.sock");
        Acceptor acceptor(io, asio::local::stream_protocol::endpoint(path));
        spawn_peer(io, [&]() -> asio::awaitable<void> {
            std::string buffer;
            Socket socket = co_await acceptor.async_accept(asio::use_awaitable);
            if (!c.greet) co_return;
            co_await send_text(socket, kGreeting);
            co_await receive_line(socket, buffer);
            if (c.peer_sends.empty()) co_return;
            co_await send_text(socket, c.peer_sends);
            co_await pause(10s);
        });
        auto result = run_bounded(io, [&]() -> asio::awaitable<std::string> {
            co_return outcome(co_await QmpClient::connect(path, kShortWindow));
        }());
        EXPECT_EQ(result, c.error) << c.name;
    }
}

TEST(QmpClient, VersionComesFromTheGreeting) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"QMP": {"version": {"qemu": {"micro": 0, "minor": 2, "major": 7}, "package": )"
         R"("Debian 1:7.2+dfsg-7+deb12u5"}, "capabilities": ["oob"]}})",
         "7.2.0 (Debian 1:7.2+dfsg-7+deb12u5)"},
        {kGreeting, "8.2.0"},
        {R"({"QMP": "odd"})", ""},
        {R"({"QMP": {"version": {"qemu": 7}}})", ""},
        {"not json", ""},
    };
    for (const auto& [greeting, version] : cases)
        EXPECT_EQ(QmpClient::version_of_greeting(greeting), version) << greeting;
}

// A negotiated client against a peer that records each request line and
// answers it with the next scripted reply text ("" closes the connection).
struct Session {
    Session() : acceptor(io, asio::local::stream_protocol::endpoint(dir.file("qmp.sock"))) {}

    void start_peer(std::vector<std::string> replies) {
        spawn_peer(io, [this, replies = std::move(replies)]() -> asio::awaitable<void> {
            std::string buffer;
            Socket socket = co_await accept_and_negotiate(acceptor, buffer);
            for (const std::string& reply : replies) {
                received.push_back(co_await receive_line(socket, buffer));
                if (reply.empty()) co_return;
                co_await send_text(socket, reply);
            }
            co_await pause(10s);
        });
    }

    // Connects, then runs `body` on the client.
    template <typename Body>
    std::optional<std::vector<std::string>> run(Body body) {
        return run_bounded(io, [&]() -> asio::awaitable<std::vector<std::string>> {
            auto client = co_await QmpClient::connect(dir.file("qmp.sock"), kShortWindow);
            if (!client) co_return std::vector<std::string>{client.error()};
            co_return co_await body(*client);
        }());
    }

    asio::io_context io;
    TempDir dir;  // the socket lives here
    Acceptor acceptor;
    std::vector<std::string> received;
};

TEST(QmpSession, WritesRequestsInTheWireFormat) {
    Session s;
    s.start_peer(std::vector<std::string>(5, "{\"return\": {}}\n"));
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        // (Braced JSON built outside co_await: g++ 12 rejects initializer lists there.)
        const json link_down = {{"up", false}, {"name", "net0"}};
        const json bandwidth = {{"max-bandwidth", 8000000000LL}};
        std::vector<std::string> out;
        out.push_back(outcome(co_await qmp.call("set_link", link_down)));
        out.push_back(outcome(co_await qmp.call("stop", json::object())));
        out.push_back(outcome(co_await qmp.call("migrate-set-parameters", bandwidth)));
        out.push_back(outcome(co_await qmp.cont()));
        out.push_back(outcome(co_await qmp.query("query-migrate")));
        co_return out;
    });
    EXPECT_EQ(results, (std::vector<std::string>(5, "ok")));
    EXPECT_EQ(s.received,
              (std::vector<std::string>{
                  "{\"arguments\":{\"name\":\"net0\",\"up\":false},\"execute\":\"set_link\"}\n",
                  "{\"execute\":\"stop\"}\n",
                  "{\"arguments\":{\"max-bandwidth\":8000000000},\"execute\":\"migrate-set-"
                  "parameters\"}\n",
                  "{\"execute\":\"cont\"}\n",
                  "{\"execute\":\"query-migrate\"}\n",
              }));
}

TEST(QmpSession, ErrorReplyCarriesTheCompactErrorMember) {
    Session s;
    s.start_peer(
        {"{\"error\": {\"desc\": \"Parameter 'uri' is missing\", \"class\": "
         "\"GenericError\"}}\n",
         "{\"return\": {}}\n"});
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        const json uri = {{"uri", "exec:cat > '/v/s'"}};
        std::vector<std::string> out;
        out.push_back(outcome(co_await qmp.call("migrate", uri)));
        out.push_back(outcome(co_await qmp.execute("stop")));  // the client stays usable
        co_return out;
    });
    EXPECT_EQ(results, (std::vector<std::string>{
                           "QMP error: {\"class\":\"GenericError\",\"desc\":\"Parameter 'uri' is "
                           "missing\"}",
                           "ok",
                       }));
    ASSERT_FALSE(s.received.empty());
    EXPECT_EQ(s.received[0],
              "{\"arguments\":{\"uri\":\"exec:cat > '/v/s'\"},\"execute\":\"migrate\"}\n");
}

TEST(QmpSession, SkipsEverythingThatIsNotAReply) {
    Session s;
    s.start_peer(
        {"garbage\n\n  \r\n[1,2]\n\"return\"\n{\"return\" \n"
         "{\"event\": \"STOP\", \"timestamp\": {\"seconds\": 1}}\n"
         "  {\"return\": {\"status\": \"inmigrate\"}}  \r\n"});
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        auto reply = co_await qmp.query("query-status");
        co_return std::vector<std::string>{reply ? QmpClient::status_of(*reply) : reply.error()};
    });
    EXPECT_EQ(results, (std::vector<std::string>{"inmigrate"}));
}

TEST(QmpSession, KeepsBytesReadPastALine) {
    Session s;
    // Two replies arrive in one write: the second is served from the buffer.
    s.start_peer(
        {"{\"return\": {\"status\": \"active\"}}\n{\"return\": {\"status\": \"completed\"}}\n",
         "{\"return\": {\"status\": \"unused\"}}\n"});
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> out;
        for (int i = 0; i < 2; ++i) {
            auto reply = co_await qmp.query("query-migrate");
            out.push_back(reply ? QmpClient::status_of(*reply) : reply.error());
        }
        co_return out;
    });
    EXPECT_EQ(results, (std::vector<std::string>{"active", "completed"}));
}

TEST(QmpSession, ReadLineGivesTheRawLine) {
    Session s;
    s.start_peer({"  {\"event\": \"RESUME\"}  \n{\"return\": {}}\n"});
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> out;
        out.push_back(outcome(co_await qmp.send("cont", json::object())));
        auto first = co_await qmp.read_line();
        out.push_back(first ? *first : first.error());
        auto second = co_await qmp.read_line();
        out.push_back(second ? *second : second.error());
        co_return out;
    });
    EXPECT_EQ(results, (std::vector<std::string>{"ok", "  {\"event\": \"RESUME\"}  \n",
                                                 "{\"return\": {}}\n"}));
}

TEST(QmpSession, PeerClosingBeforeTheReply) {
    Session s;
    s.start_peer({""});
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> out;
        out.push_back(outcome(co_await qmp.execute("system_powerdown")));
        // The client stays in place; further use fails the same way.
        out.push_back(outcome(co_await qmp.execute("system_powerdown")));
        out.push_back(outcome(co_await qmp.quit()));
        co_return out;
    });
    EXPECT_EQ(results, (std::vector<std::string>{
                           "QMP socket closed",
                           "QMP write: Broken pipe (os error 32)",
                           "QMP write: Broken pipe (os error 32)",
                       }));
}

TEST(QmpSession, QuitIgnoresTheReply) {
    struct Case {
        std::vector<std::string> replies;
    } cases[] = {
        {{""}},                                                                // closes unanswered
        {{"{\"return\": {}}\n"}},                                              // answers
        {{"{\"error\": {\"class\": \"GenericError\", \"desc\": \"no\"}}\n"}},  // refuses
    };
    for (const auto& c : cases) {
        Session s;
        s.start_peer(c.replies);
        auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
            std::string quit = outcome(co_await qmp.quit());
            co_return std::vector<std::string>{quit};
        });
        EXPECT_EQ(results, (std::vector<std::string>{"ok"}));
        EXPECT_EQ(s.received, (std::vector<std::string>{"{\"execute\":\"quit\"}\n"}));
    }
}

TEST(QmpSession, LinesMayArriveInPieces) {
    Session s;
    // Split reply, and a last reply that ends with the stream instead of a line feed.
    spawn_peer(s.io, [&s]() -> asio::awaitable<void> {
        std::string buffer;
        Socket socket = co_await accept_and_negotiate(s.acceptor, buffer);
        co_await receive_line(socket, buffer);
        co_await send_text(socket, "{\"return\": {\"sta");
        co_await pause(30ms);
        co_await send_text(socket, "tus\": \"paused\"}");
        co_await pause(30ms);
        co_await send_text(socket, "}\n");
        co_await receive_line(socket, buffer);
        co_await send_text(socket, "{\"return\": {\"status\": \"running\"}}");
    });
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> out;
        for (int i = 0; i < 2; ++i) {
            auto reply = co_await qmp.query("query-status");
            out.push_back(reply ? QmpClient::status_of(*reply) : reply.error());
        }
        auto after_end = co_await qmp.read_line();
        out.push_back(after_end ? *after_end : after_end.error());
        co_return out;
    });
    EXPECT_EQ(results, (std::vector<std::string>{"paused", "running", "QMP socket closed"}));
}

TEST(QmpSession, LateRepliesGoToNoLaterRequestAndEventsAreKept) {
    Session s;
    // The first two requests are answered only after the third was sent, the
    // owed replies (a success and an error) before the third's own.
    spawn_peer(s.io, [&s]() -> asio::awaitable<void> {
        std::string buffer;
        Socket socket = co_await accept_and_negotiate(s.acceptor, buffer);
        for (int i = 0; i < 3; ++i) s.received.push_back(co_await receive_line(socket, buffer));
        co_await send_text(socket,
                           "{\"return\": {}}\n{\"event\": \"STOP\"}\n"
                           "{\"error\": {\"class\": \"GenericError\", \"desc\": \"late\"}}\n"
                           "{\"return\": {\"status\": \"running\"}}\n"
                           "{\"event\": \"RESUME\"}\n");
        co_await pause(10s);
    });
    auto results = s.run([](QmpClient& qmp) -> asio::awaitable<std::vector<std::string>> {
        using namespace asio::experimental::awaitable_operators;
        std::vector<std::string> out;
        for (const char* command : {"stop", "migrate"}) {
            auto cut = co_await (qmp.execute(command) || pause(50ms));
            out.push_back(cut.index() == 0 ? "answered" : "cut off");
        }
        auto reply = co_await qmp.query("query-status");
        out.push_back(reply ? QmpClient::status_of(*reply) : reply.error());
        // The event that came while a reply was awaited is kept, then the
        // next one is read.
        for (int i = 0; i < 2; ++i) {
            auto event = co_await qmp.next_event();
            out.push_back(event ? event->value("event", "") : event.error());
        }
        co_return out;
    });
    EXPECT_EQ(results,
              (std::vector<std::string>{"cut off", "cut off", "running", "STOP", "RESUME"}));
    EXPECT_EQ(s.received.size(), 3u);
}

}  // namespace
}  // namespace kelvo
