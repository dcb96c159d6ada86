#include "cli/port_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "common/unique_fd.h"

namespace kelvo {

namespace {

constexpr char kIdentification[] = "SSH-";
constexpr size_t kIdentificationLength = 4;
// Probes open at the same time; more ports are probed in further rounds.
constexpr size_t kMaxConcurrentProbes = 256;

using Clock = std::chrono::steady_clock;

// One probe in flight.
struct Probe {
    size_t index = 0;  // position in the caller's list
    UniqueFd fd;
    bool connected = false;
    size_t matched = 0;  // bytes of "SSH-" received so far
};

void finish(Probe& probe, std::vector<bool>& answers, bool open) {
    answers[probe.index] = open;
    probe.fd.reset();
}

// Starts a non-blocking connection; false when it failed at once.
bool begin_connect(uint16_t port, Probe& probe) {
    probe.fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!probe.fd.valid()) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(probe.fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        probe.connected = true;
        return true;
    }
    if (errno == EINPROGRESS || errno == EINTR) return true;
    probe.fd.reset();
    return false;
}

// Advances a probe whose socket is ready. Returns the answer once known.
std::optional<bool> advance(Probe& probe, short revents) {
    if (!probe.connected) {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(probe.fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
            return false;
        if (!(revents & POLLOUT)) return std::nullopt;
        probe.connected = true;
    }
    char buffer[kIdentificationLength];
    for (;;) {
        const ssize_t n = ::recv(probe.fd.get(), buffer, kIdentificationLength - probe.matched, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
            return false;
        }
        if (n == 0) return false;  // closed before identifying itself
        if (std::memcmp(buffer, kIdentification + probe.matched, static_cast<size_t>(n)) != 0)
            return false;
        probe.matched += static_cast<size_t>(n);
        if (probe.matched == kIdentificationLength) return true;
    }
}

// Probes up to kMaxConcurrentProbes ports within one window.
void probe_round(const std::vector<uint16_t>& ports, size_t first, size_t count,
                 std::vector<bool>& answers) {
    const auto deadline = Clock::now() + kPortProbeLimit;
    std::vector<Probe> probes;
    for (size_t i = first; i < first + count; ++i) {
        if (ports[i] == 0) continue;
        Probe probe;
        probe.index = i;
        if (begin_connect(ports[i], probe)) probes.push_back(std::move(probe));
    }
    std::vector<pollfd> fds;
    for (;;) {
        std::erase_if(probes, [](const Probe& p) { return !p.fd.valid(); });
        if (probes.empty()) return;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        fds.clear();
        for (const Probe& p : probes)
            fds.push_back({p.fd.get(), static_cast<short>(p.connected ? POLLIN : POLLOUT), 0});
        // An interrupted wait goes on with the time that is left (at least 1 ms).
        const int ready = ::poll(fds.data(), fds.size(), std::max<int>(1, left.count()));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (size_t i = 0; i < probes.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (auto answer = advance(probes[i], fds[i].revents))
                finish(probes[i], answers, *answer);
        }
    }
    for (Probe& p : probes) finish(p, answers, false);
}

}  // namespace

std::vector<bool> ports_open(const std::vector<uint16_t>& ports) {
    std::vector<bool> answers(ports.size(), false);
    for (size_t first = 0; first < ports.size(); first += kMaxConcurrentProbes)
        probe_round(ports, first, std::min(kMaxConcurrentProbes, ports.size() - first), answers);
    return answers;
}

bool port_open(uint16_t port) {
    return ports_open({port}).front();
}

}  // namespace kelvo
