#pragma once

// In-process stand-ins for what `run` talks to: a monitor socket (QMP or the
// guest agent), the forwarded SSH port, a child standing in for QEMU, and a
// capture of the event stream.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/use_future.hpp>
#include <nlohmann/json.hpp>

#include "common/child_process.h"
#include "common/exit_status.h"
#include "common/text.h"
#include "config/helper_config.h"
#include "supervisor/timings.h"
#include "supervisor/supervisor.h"

namespace kelvo::fakes {

using namespace std::chrono_literals;

// Captures what the events write to standard output.
class StdoutCapture {
  public:
    StdoutCapture() {
        fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        char path[] = "/tmp/kelvo-supervisor-XXXXXX";
        fd_ = ::mkstemp(path);
        ::unlink(path);
        ::dup2(fd_, STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string text() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        for (off_t off = 0; (n = ::pread(fd_, buf, sizeof buf, off)) > 0; off += n)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    // One short text per event: the state word (with ":port" for running),
    // the log line, or "error: " and the message.
    std::vector<std::string> events() const {
        std::vector<std::string> out;
        for (const auto& line : split_lines(text())) {
            const auto e = nlohmann::json::parse(line);
            const std::string kind = e.at("event");
            if (kind == "state") {
                std::string word = e.at("state");
                if (e.contains("port"))
                    word.append(":").append(std::to_string(e.at("port").get<int>()));
                out.push_back(word);
            } else if (kind == "log") {
                out.push_back(e.at("line"));
            } else {
                out.push_back("error: " + e.at("message").get<std::string>());
            }
        }
        return out;
    }

  private:
    int saved_ = -1, fd_ = -1;
};

// A temporary directory, removed with its files.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kelvo-sup-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { (void)std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline bool file_exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

inline void write_file(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

// A monitor peer on a Unix socket, served by a thread: every request line is
// recorded and answered with the lines the responder returns. A responder
// returning {"<close>"} hangs up. QMP peers greet first; the agent does not.
class FakeMonitor {
  public:
    using Responder =
        std::function<std::vector<std::string>(const std::string& command, const nlohmann::json&)>;

    static std::vector<std::string> ok() { return {R"({"return": {}})"}; }

    FakeMonitor(std::string path, Responder responder, std::string greeting = kQmpGreeting)
        : path_(std::move(path)), responder_(std::move(responder)), greeting_(std::move(greeting)) {
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        ::unlink(path_.c_str());
        if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 4) != 0)
            ADD_FAILURE() << "cannot listen on " << path_;
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeMonitor() {
        stopping_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        {
            std::lock_guard guard(mutex_);
            if (client_fd_ >= 0) ::shutdown(client_fd_, SHUT_RDWR);
        }
        thread_.join();
        ::close(listen_fd_);
        ::unlink(path_.c_str());
    }

    // The commands received, in order (`execute` of each request).
    std::vector<std::string> commands() {
        std::lock_guard guard(mutex_);
        std::vector<std::string> out;
        for (const auto& r : requests_) out.push_back(r.value("execute", ""));
        return out;
    }
    std::vector<nlohmann::json> requests() {
        std::lock_guard guard(mutex_);
        return requests_;
    }
    std::vector<std::string> raw_lines() {
        std::lock_guard guard(mutex_);
        return raw_;
    }

    static constexpr const char* kQmpGreeting =
        R"({"QMP": {"version": {"qemu": {"micro": 0, "minor": 2, "major": 7}}, "capabilities": ["oob"]}})";

  private:
    void serve() {
        while (!stopping_) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            {
                std::lock_guard guard(mutex_);
                client_fd_ = fd;
            }
            session(fd);
            std::lock_guard guard(mutex_);
            client_fd_ = -1;
            ::close(fd);
        }
    }

    void session(int fd) {
        if (!greeting_.empty() && !send_line(fd, greeting_)) return;
        std::string buffer;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t nl; (nl = buffer.find('\n')) != std::string::npos;) {
                const std::string line = buffer.substr(0, nl);
                buffer.erase(0, nl + 1);
                auto request = nlohmann::json::parse(line, nullptr, false);
                if (!request.is_object()) continue;
                const std::string command = request.value("execute", "");
                const nlohmann::json arguments =
                    request.value("arguments", nlohmann::json::object());
                {
                    std::lock_guard guard(mutex_);
                    requests_.push_back(request);
                    raw_.push_back(line);
                }
                std::vector<std::string> reply =
                    command == "qmp_capabilities" ? ok() : responder_(command, arguments);
                for (const auto& out : reply) {
                    if (out == "<close>") return;
                    if (!send_line(fd, out)) return;
                }
            }
        }
    }

    static bool send_line(int fd, const std::string& line) {
        const std::string text = line + "\n";
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }

    std::string path_;
    Responder responder_;
    std::string greeting_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    int client_fd_ = -1;
    std::vector<nlohmann::json> requests_;
    std::vector<std::string> raw_;
    std::thread thread_;
};

// A TCP listener on 127.0.0.1 standing in for the forwarded SSH port. Each
// connection gets `banner()` (nothing when empty) and is then closed, unless
// `hold` keeps it open silently until the client leaves.
class FakeSshPort {
  public:
    explicit FakeSshPort(std::function<std::string()> banner, bool hold = false)
        : banner_(std::move(banner)), hold_(hold) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 16) != 0 ||
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            ADD_FAILURE() << "cannot listen on a loopback port";
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeSshPort() {
        stopping_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        thread_.join();
        ::close(listen_fd_);
    }
    uint16_t port() const { return port_; }
    int connections() const { return connections_; }

  private:
    void serve() {
        while (!stopping_) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            ++connections_;
            const std::string banner = banner_();
            if (!banner.empty()) (void)::send(fd, banner.data(), banner.size(), MSG_NOSIGNAL);
            if (hold_) {
                char c;
                timeval tv{5, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                while (::read(fd, &c, 1) > 0) {
                }
            }
            ::close(fd);
        }
    }

    std::function<std::string()> banner_;
    bool hold_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// A port on which nothing listens (bound once, then released).
inline uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// A child standing in for QEMU: it runs until killed.
inline Child stand_in_qemu() {
    SpawnOptions options;
    options.program = "sleep";
    options.args = {"60"};
    options.in = Redirect::null();
    options.kill_on_drop = true;
    auto child = spawn(options);
    EXPECT_TRUE(child.has_value());
    return std::move(*child);
}

// The time limits of `run`, shortened for in-process tests.
inline RunTimings quick_timings() {
    RunTimings t;
    t.qmp_connect = {2000ms, 20ms};
    t.qmp_handshake_limit = 1000ms;
    t.qmp_reply_limit = 1000ms;
    t.probe = {500ms, 500ms};
    t.boot_probe_retry = 50ms;
    t.powerdown_limit = 300ms;
    t.hibernate_limit = 400ms;
    t.migrate_poll = 20ms;
    t.run_state_poll = 10ms;
    t.agent = {1000ms, 20ms, 200ms, 50};
    t.agent_pings = 3;
    t.agent_ping_retry = 20ms;
    t.reinit_window = 500ms;
    t.probe_interval = 20ms;
    t.link_pause = 20ms;
    t.bounce_window = 500ms;
    return t;
}

// Runs a task to completion on a private two-thread runtime, on one strand
// as the program runs its tasks: the branches of a race never run at once.
class Runtime {
  public:
    template <typename T>
    T run(asio::awaitable<T> task) {
        std::optional<T> out;  // (T need not be default-constructible)
        run([](asio::awaitable<T> task, std::optional<T>& out) -> asio::awaitable<void> {
            out.emplace(co_await std::move(task));
        }(std::move(task), out));
        return std::move(*out);
    }
    void run(asio::awaitable<void> task) {
        auto result = asio::co_spawn(strand_, std::move(task), asio::use_future);
        drive(result);
        result.get();
    }
    asio::any_io_executor executor() { return strand_; }

  private:
    template <typename F>
    void drive(F& result) {
        io_.restart();
        auto work = asio::make_work_guard(io_);
        std::thread helper([this] { io_.run(); });
        std::thread main([this] { io_.run(); });
        // Every test task ends by itself; this bound only keeps a broken one
        // from hanging the whole suite.
        if (result.wait_for(60s) != std::future_status::ready) {
            std::fprintf(stderr, "a supervisor test task hung\n");
            std::abort();
        }
        work.reset();
        io_.stop();
        helper.join();
        main.join();
    }

    asio::io_context io_{2};
    asio::strand<asio::io_context::executor_type> strand_ = asio::make_strand(io_);
};

// A supervisor of a stand-in QEMU, its VM run directory in a temporary
// directory, with quick time limits; QMP is absent until connect_qmp_peer().
class SupervisorFixture : public ::testing::Test {
  protected:
    SupervisorFixture() {
        config.disk_path = dir.file("disk.qcow2");
        config.save_path = dir.file("state.save");
        config.ssh_host_port = closed_port();
        qemu_pid = s.qemu.pid();
    }

    void connect_qmp_peer(FakeMonitor::Responder responder) {
        qmp_peer = std::make_unique<FakeMonitor>(dir.file("qmp.sock"), std::move(responder));
        auto client = rt.run(QmpClient::connect(dir.file("qmp.sock"), timings.qmp_connect));
        ASSERT_TRUE(client.has_value()) << client.error();
        s.qmp.emplace(std::move(*client));
    }

    // QEMU's end as the supervisor sees it.
    std::string qemu_end() {
        auto status = rt.run(async_wait(s.qemu));
        return status ? describe_wait_status(*status) : status.error();
    }

    TempDir dir;
    HelperConfig config;
    RunTimings timings = quick_timings();
    Runtime rt;
    Supervisor s{config, timings, stand_in_qemu(), std::make_shared<ControlChannel>(rt.executor())};
    pid_t qemu_pid = -1;
    std::unique_ptr<FakeMonitor> qmp_peer;
};

}  // namespace kelvo::fakes
