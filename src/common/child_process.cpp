#include "common/child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/os_error.h"

extern char** environ;

namespace kelvo {

namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int pidfd_send_signal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Owns the descriptors made for one spawn until they are handed over.
struct StreamSetup {
    int null_fd = -1;
    int pipe_read[3] = {-1, -1, -1};
    int pipe_write[3] = {-1, -1, -1};
    ~StreamSetup() {
        close_fd(null_fd);
        for (int i = 0; i < 3; ++i) {
            close_fd(pipe_read[i]);
            close_fd(pipe_write[i]);
        }
    }
};

// Adds the file action for one standard stream; returns 0 or an errno.
int add_redirect(posix_spawn_file_actions_t& actions, StreamSetup& setup, int target,
                 const Redirect& redirect) {
    switch (redirect.kind) {
        case Redirect::Kind::Inherit:
            return 0;
        case Redirect::Kind::Null:
            if (setup.null_fd < 0) {
                setup.null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
                if (setup.null_fd < 0) return errno;
            }
            return posix_spawn_file_actions_adddup2(&actions, setup.null_fd, target);
        case Redirect::Kind::Fd:
            return posix_spawn_file_actions_adddup2(&actions, redirect.fd, target);
        case Redirect::Kind::Pipe: {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
            setup.pipe_read[target] = fds[0];
            setup.pipe_write[target] = fds[1];
            const int child_end = target == STDIN_FILENO ? fds[0] : fds[1];
            return posix_spawn_file_actions_adddup2(&actions, child_end, target);
        }
    }
    return 0;
}

}  // namespace

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        reset();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::exchange(other.pidfd_, -1);
        out_fd_ = std::exchange(other.out_fd_, -1);
        err_fd_ = std::exchange(other.err_fd_, -1);
        kill_on_drop_ = std::exchange(other.kill_on_drop_, false);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

Child::~Child() { reset(); }

void Child::reset() {
    if (pid_ > 0 && kill_on_drop_ && !status_) {
        kill(SIGKILL);
        int st;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
    }
    close_pipes();
    close_fd(pidfd_);
    pid_ = -1;
    status_.reset();
}

void Child::close_pipes() {
    close_fd(out_fd_);
    close_fd(err_fd_);
}

void Child::detach() {
    kill_on_drop_ = false;
    close_pipes();
    close_fd(pidfd_);
    pid_ = -1;
}

std::expected<std::optional<int>, std::string> Child::try_wait() {
    if (status_) return status_;
    int st;
    pid_t r;
    while ((r = ::waitpid(pid_, &st, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r < 0) return std::unexpected(last_os_error());
    if (r == 0) return std::optional<int>();
    status_ = st;
    return status_;
}

std::expected<int, std::string> Child::wait() {
    if (status_) return *status_;
    int st;
    pid_t r;
    while ((r = ::waitpid(pid_, &st, 0)) < 0 && errno == EINTR) {
    }
    if (r < 0) return std::unexpected(last_os_error());
    status_ = st;
    return st;
}

void Child::kill(int signal_number) {
    if (pid_ <= 0 || status_) return;
    if (pidfd_ >= 0)
        (void)pidfd_send_signal(pidfd_, signal_number);
    else
        (void)::kill(pid_, signal_number);
}

std::expected<Child, std::string> spawn(const SpawnOptions& options) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    StreamSetup setup;

    auto fail = [&](int err) -> std::expected<Child, std::string> {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        return std::unexpected(os_error(err));
    };

    const Redirect* redirects[3] = {&options.in, &options.out, &options.err};
    for (int target = 0; target < 3; ++target) {
        if (int err = add_redirect(actions, setup, target, *redirects[target])) return fail(err);
    }
    // Nothing but the three standard streams reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t empty, all;
    sigemptyset(&empty);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &empty);
    // Signals the program ignores or handles (SIGPIPE) start at their defaults.
    posix_spawnattr_setsigdefault(&attr, &all);
    if (options.new_session) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attr, flags);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.program.c_str()));
    for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid;
    const int err = ::posix_spawnp(&pid, options.program.c_str(), &actions, &attr, argv.data(),
                                   environ);
    if (err != 0) return fail(err);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);

    Child child;
    child.pid_ = pid;
    child.kill_on_drop_ = options.kill_on_drop;
    child.pidfd_ = pidfd_open(pid);
    child.out_fd_ = std::exchange(setup.pipe_read[STDOUT_FILENO], -1);
    child.err_fd_ = std::exchange(setup.pipe_read[STDERR_FILENO], -1);
    return child;
}

asio::awaitable<std::expected<int, std::string>> async_wait(Child& child) {
    if (child.reaped()) co_return *child.status();
    if (child.pidfd() < 0) co_return child.wait();
    const int fd = ::fcntl(child.pidfd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) co_return std::unexpected(last_os_error());
    asio::posix::stream_descriptor readable(co_await asio::this_coro::executor, fd);
    std::error_code ec;
    co_await readable.async_wait(asio::posix::stream_descriptor::wait_read,
                                 asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::unexpected(os_error(ec.value()));
    co_return child.wait();
}

}  // namespace kelvo
