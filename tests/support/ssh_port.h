#pragma once

// A TCP listener on 127.0.0.1 standing in for a VM's forwarded SSH port, and
// a port on which nothing listens.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace kelvo::test_support {

// Each connection gets `banner()` (nothing when empty), then what `then`
// says: closed at once, held open silently until the client leaves (at most
// five seconds), or kept open until the listener ends. A split banner comes
// in two pieces, the first two bytes and the rest 50 ms later.
class FakeSshPort {
  public:
    enum class Then { close, hold_until_client_leaves, keep_until_listener_ends };

    explicit FakeSshPort(std::function<std::string()> banner, Then then = Then::close,
                         bool split = false)
        : banner_(std::move(banner)), then_(then), split_(split) {
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
    // A listener with a fixed banner.
    explicit FakeSshPort(std::string banner, Then then = Then::close, bool split = false)
        : FakeSshPort([banner = std::move(banner)] { return banner; }, then, split) {}
    FakeSshPort(const FakeSshPort&) = delete;
    FakeSshPort& operator=(const FakeSshPort&) = delete;
    ~FakeSshPort() {
        stopping_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        thread_.join();
        ::close(listen_fd_);
        for (int fd : kept_) ::close(fd);
    }

    uint16_t port() const { return port_; }
    int connections() const { return connections_; }

  private:
    void serve() {
        while (!stopping_) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            ++connections_;
            send_banner(fd, banner_());
            switch (then_) {
                case Then::close:
                    ::close(fd);
                    break;
                case Then::hold_until_client_leaves: {
                    char c;
                    timeval tv{5, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                    while (::read(fd, &c, 1) > 0) {
                    }
                    ::close(fd);
                    break;
                }
                case Then::keep_until_listener_ends:
                    kept_.push_back(fd);
                    break;
            }
        }
    }

    void send_banner(int fd, const std::string& banner) const {
        if (split_ && banner.size() > 2) {
            (void)::send(fd, banner.data(), 2, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            (void)::send(fd, banner.data() + 2, banner.size() - 2, MSG_NOSIGNAL);
        } else if (!banner.empty()) {
            (void)::send(fd, banner.data(), banner.size(), MSG_NOSIGNAL);
        }
    }

    std::function<std::string()> banner_;
    Then then_;
    bool split_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::vector<int> kept_;  // only the serving thread touches it until the join
    std::thread thread_;
};

// A port on which nothing listens. Its socket stays bound, without
// listening, until the test process ends: connections to it are refused, and
// no listener of a test running alongside can be given the same port.
inline uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return ntohs(addr.sin_port);  // fd is kept open on purpose
}

}  // namespace kelvo::test_support
