#include "provision/cancel_signals.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

namespace kelvo {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Read by the handler, which may run on any thread: lock-free atomics only.
std::atomic<int> received{0};
std::atomic<pid_t> owner{0};  // the process watching (not a forked child)
std::atomic<int> read_end{-1};
// Made once and never closed: a handler may still be writing on another
// thread when a CancelSignals ends.
int pipe_fds[2] = {-1, -1};
struct sigaction previous[std::size(kSignals)];
bool installed = false;

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);

void on_signal(int number) {
    const int saved_errno = errno;
    // A child between fork and exec runs this handler too until it resets
    // its signals: it must not cancel its parent.
    int none = 0;
    if (::getpid() == owner.load() && received.compare_exchange_strong(none, number)) {
        const char byte = 1;
        (void)!::write(pipe_fds[1], &byte, 1);
    }
    errno = saved_errno;
}

}  // namespace

CancelSignals::CancelSignals() {
    if (pipe_fds[0] < 0 && ::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    char drained[16];
    while (::read(pipe_fds[0], drained, sizeof drained) > 0) {
    }
    received = 0;
    owner = ::getpid();
    struct sigaction action = {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : kSignals) sigaddset(&action.sa_mask, number);
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        if (::sigaction(kSignals[i], &action, &previous[i]) != 0) {
            while (i-- > 0) ::sigaction(kSignals[i], &previous[i], nullptr);
            return;
        }
    }
    installed = true;
    read_end = pipe_fds[0];
}

CancelSignals::~CancelSignals() {
    if (!installed) return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &previous[i], nullptr);
    installed = false;
    owner = 0;
    read_end = -1;
    received = 0;
}

int cancel_signal() {
    return received.load();
}

int cancel_fd() {
    return read_end.load();
}

}  // namespace kelvo
