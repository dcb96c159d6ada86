#include "cli/port_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

// A loopback listener that greets each connection with a fixed text (or
// says nothing) and keeps it open until the listener ends.
class Listener {
  public:
    explicit Listener(std::string greeting, bool split = false)
        : greeting_(std::move(greeting)), split_(split) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 16);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Listener() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
        for (int c : clients_) ::close(c);
    }
    uint16_t port() const { return port_; }

  private:
    void serve() {
        while (!stop_) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            clients_.push_back(c);
            if (split_ && greeting_.size() > 2) {
                (void)::send(c, greeting_.data(), 2, MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                (void)::send(c, greeting_.data() + 2, greeting_.size() - 2, MSG_NOSIGNAL);
            } else if (!greeting_.empty()) {
                (void)::send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
            }
        }
    }
    std::string greeting_;
    bool split_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<int> clients_;
    std::thread thread_;
};

// A port on which nothing listens.
uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

TEST(CliPortProbe, OpenOnlyWhenThePeerIdentifiesAsSsh) {
    Listener ssh("SSH-2.0-test\r\n");
    Listener split("SSH-2.0-slow\r\n", /*split=*/true);
    Listener silent("");
    Listener http("HTTP/1.1 400\r\n");
    Listener short_hello("SS");
    struct Case {
        const char* what;
        uint16_t port;
        bool open;
    } cases[] = {
        {"ssh greeting", ssh.port(), true},
        {"greeting in two pieces", split.port(), true},
        {"accepts but never answers", silent.port(), false},
        {"other protocol", http.port(), false},
        {"greeting cut short", short_hello.port(), false},
        {"nothing listening", closed_port(), false},
        {"port zero", 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(port_open(c.port), c.open) << c.what;
}

TEST(CliPortProbe, SeveralPortsAnswerInOrder) {
    Listener ssh("SSH-2.0-test\r\n");
    Listener silent("");
    const uint16_t closed = closed_port();
    const std::vector<uint16_t> ports{silent.port(), ssh.port(), 0,
                                      closed,        ssh.port(), silent.port()};
    EXPECT_EQ(ports_open(ports), (std::vector<bool>{false, true, false, false, true, false}));
    EXPECT_TRUE(ports_open({}).empty());
}

}  // namespace
}  // namespace kelvo
