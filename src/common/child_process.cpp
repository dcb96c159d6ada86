#include "common/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <utility>

#include <algorithm>
#include <cstdlib>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "common/os_error.h"
#include "common/unique_fd.h"

extern char** environ;

namespace kelvo {

namespace {

int pidfd_open(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfd_send_signal(int pidfd, int sig) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// Owns the descriptors made for one spawn until they are handed over, and
// knows which descriptor becomes each standard stream of the child (-1:
// inherited) and its descriptor 3 (-1: none).
struct StreamSetup {
    UniqueFd null_fd;
    UniqueFd pass_copy;
    UniqueFd pipe_read[3];
    UniqueFd pipe_write[3];
    int child_fd[4] = {-1, -1, -1, -1};
    // The first descriptor the child does not inherit.
    int first_closed() const { return child_fd[3] >= 0 ? 4 : 3; }
};

// Chooses the child's descriptor for one standard stream; returns 0 or an
// errno.
int prepare_redirect(StreamSetup& setup, int target, const Redirect& redirect) {
    switch (redirect.kind) {
        case Redirect::Kind::Inherit:
            return 0;
        case Redirect::Kind::Null:
            if (!setup.null_fd.valid()) {
                setup.null_fd.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
                if (!setup.null_fd.valid()) return errno;
            }
            setup.child_fd[target] = setup.null_fd.get();
            return 0;
        case Redirect::Kind::Fd:
            setup.child_fd[target] = redirect.fd;
            return 0;
        case Redirect::Kind::Pipe: {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
            setup.pipe_read[target].reset(fds[0]);
            setup.pipe_write[target].reset(fds[1]);
            setup.child_fd[target] = target == STDIN_FILENO ? fds[0] : fds[1];
            return 0;
        }
    }
    return 0;
}

std::vector<char*> argv_of(const SpawnOptions& options) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.program.c_str()));
    for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// posix_spawnp with the streams of setup, nothing else inherited, default
// signal dispositions and an empty mask. Returns 0 or an errno.
int spawn_posix(const SpawnOptions& options, const StreamSetup& setup, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    int err = 0;
    for (int target = 0; target < 4 && err == 0; ++target) {
        if (setup.child_fd[target] >= 0)
            err = posix_spawn_file_actions_adddup2(&actions, setup.child_fd[target], target);
    }
    // Nothing but the standard streams (and a passed descriptor) reaches the
    // child.
    if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(&actions, setup.first_closed());

    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t empty, all;
    sigemptyset(&empty);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &empty);
    // Signals the program ignores or handles (SIGPIPE) start at their defaults.
    posix_spawnattr_setsigdefault(&attr, &all);
    if (options.new_session) flags |= POSIX_SPAWN_SETSID;
    if (options.own_process_group) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, flags);

    if (err == 0) {
        auto argv = argv_of(options);
        err = ::posix_spawnp(&pid, options.program.c_str(), &actions, &attr, argv.data(), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return err;
}

// The paths to try for a program, in the order of the search path, as
// posix_spawnp tries them.
std::vector<std::string> candidate_paths(const std::string& program) {
    if (program.find('/') != std::string::npos) return {program};
    const char* path = std::getenv("PATH");
    const std::string_view dirs = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string_view dir = dirs.substr(start, end - start);
        candidates.push_back(dir.empty() ? program : std::string(dir) + "/" + program);
        if (end == dirs.size()) break;
        start = end + 1;
    }
    return candidates;
}

// Closes every descriptor from `from` on except `keep`.
void close_from(int from, int keep) {
    if (::syscall(SYS_close_range, from, keep - 1, 0) == 0 &&
        ::syscall(SYS_close_range, keep + 1, ~0U, 0) == 0)
        return;
    // Before Linux 5.9: one close per possible descriptor.
    struct rlimit limit;
    const long high = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                          ? static_cast<long>(limit.rlim_cur)
                          : 65536;
    for (long fd = from; fd < high; ++fd) {
        if (fd != keep) ::close(static_cast<int>(fd));
    }
}

// Tells the parent of spawn_fork why the child cannot run the program.
[[noreturn]] void report_and_exit(int report, int err) {
    while (::write(report, &err, sizeof err) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// The child side of spawn_fork: only async-signal-safe calls until exec.
// Reports the errno that stopped it through `report` and ends. `parent` is
// the process that forked it.
[[noreturn]] void exec_child(const SpawnOptions& options, const StreamSetup& setup,
                             const std::vector<std::string>& candidates, char* const* argv,
                             int report, pid_t parent) {
    auto fail = [&report](int err) { report_and_exit(report, err); };
    sigset_t empty;
    sigemptyset(&empty);
    for (int number = 1; number < NSIG; ++number) ::signal(number, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    if (options.new_session && ::setsid() < 0) fail(errno);
    if (options.own_process_group && ::setpgid(0, 0) != 0) fail(errno);
    if (options.parent_death_signal != 0) {
        if (::prctl(PR_SET_PDEATHSIG, options.parent_death_signal) != 0) fail(errno);
        // A parent that died before the prctl took effect sent nothing: the
        // child, adopted by another process by now, ends as if it had.
        if (::getppid() != parent) ::_exit(127);
    }
    // The report pipe must not sit where a passed descriptor goes.
    if (report < setup.first_closed()) {
        report = ::fcntl(report, F_DUPFD_CLOEXEC, setup.first_closed());
        if (report < 0) ::_exit(127);
    }
    for (int target = 0; target < 4; ++target) {
        const int fd = setup.child_fd[target];
        if (fd < 0) continue;
        if (fd == target ? ::fcntl(fd, F_SETFD, 0) < 0 : ::dup2(fd, target) < 0) fail(errno);
    }
    close_from(setup.first_closed(), report);
    // As posix_spawnp: a candidate that is missing or not permitted passes
    // the search on; a permission error wins over a missing file.
    int err = ENOENT;
    bool denied = false;
    for (const auto& path : candidates) {
        ::execve(path.c_str(), argv, environ);
        err = errno;
        if (err == EACCES) {
            denied = true;
        } else if (err != ENOENT && err != ENOTDIR && err != ESTALE && err != ENODEV &&
                   err != ETIMEDOUT) {
            fail(err);
        }
    }
    report_and_exit(report, denied ? EACCES : err);
}

// fork and exec, for kernels and containers that refuse the system call
// posix_spawn is built on, and for a parent-death signal, which posix_spawn
// cannot set. Same streams, descriptors, signals and errors. (fork is built
// on clone, which such containers allow.)
int spawn_fork(const SpawnOptions& options, const StreamSetup& setup, pid_t& pid) {
    const auto candidates = candidate_paths(options.program);
    auto argv = argv_of(options);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return errno;
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid == 0) exec_child(options, setup, candidates, argv.data(), report[1], parent);
    const int fork_error = pid < 0 ? errno : 0;
    ::close(report[1]);
    int err = fork_error;
    if (pid > 0) {
        ssize_t n;
        while ((n = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
        }
        if (n != static_cast<ssize_t>(sizeof err)) {
            err = 0;  // exec succeeded: the report pipe closed with it
        } else {
            int status;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    ::close(report[0]);
    return err;
}

}  // namespace

Child::Child(Child&& other) noexcept {
    *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        reset();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
        out_fd_ = std::move(other.out_fd_);
        err_fd_ = std::move(other.err_fd_);
        kill_on_drop_ = std::exchange(other.kill_on_drop_, false);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

Child::~Child() {
    reset();
}

void Child::reset() {
    if (pid_ > 0 && kill_on_drop_ && !status_) {
        kill(SIGKILL);
        int st;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
    }
    close_pipes();
    pidfd_.reset();
    pid_ = -1;
    status_.reset();
}

void Child::close_pipes() {
    out_fd_.reset();
    err_fd_.reset();
}

void Child::detach() {
    kill_on_drop_ = false;
    close_pipes();
    pidfd_.reset();
    pid_ = -1;
}

std::expected<ExitState, std::string> Child::try_wait() {
    if (status_) return ExitState{true, *status_};
    int st;
    pid_t r;
    while ((r = ::waitpid(pid_, &st, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r < 0) return std::unexpected(last_os_error());
    if (r == 0) return ExitState{};
    status_ = st;
    return ExitState{true, st};
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
    if (pidfd_.valid())
        (void)pidfd_send_signal(pidfd_.get(), signal_number);
    else
        (void)::kill(pid_, signal_number);
}

std::expected<Child, std::string> spawn(const SpawnOptions& options) {
    StreamSetup setup;
    const Redirect* redirects[3] = {&options.in, &options.out, &options.err};
    for (int target = 0; target < 3; ++target) {
        if (int err = prepare_redirect(setup, target, *redirects[target]))
            return std::unexpected(os_error(err));
    }
    if (options.pass_fd >= 0) {
        // A copy above 3, so that moving it into place is always a dup2.
        setup.pass_copy.reset(::fcntl(options.pass_fd, F_DUPFD_CLOEXEC, 4));
        if (!setup.pass_copy.valid()) return std::unexpected(last_os_error());
        setup.child_fd[3] = setup.pass_copy.get();
    }
    pid_t pid = -1;
    const mode_t own_umask = options.umask ? ::umask(*options.umask) : 0;
    int err = 0;
    if (options.parent_death_signal != 0) {
        err = spawn_fork(options, setup, pid);
    } else {
        err = spawn_posix(options, setup, pid);
        if (err == EPERM || err == ENOSYS) err = spawn_fork(options, setup, pid);
    }
    if (options.umask) ::umask(own_umask);
    if (err != 0) return std::unexpected(os_error(err));

    Child child;
    child.pid_ = pid;
    child.kill_on_drop_ = options.kill_on_drop;
    // Before Linux 5.3 there is no pidfd: signals go by pid and the end is
    // seen through SIGCHLD.
    child.pidfd_.reset(pidfd_open(pid));
    child.out_fd_ = std::move(setup.pipe_read[STDOUT_FILENO]);
    child.err_fd_ = std::move(setup.pipe_read[STDERR_FILENO]);
    return child;
}

namespace {

// Waits for SIGCHLD until the child has ended; never blocks a thread.
asio::awaitable<std::expected<int, std::string>> wait_by_sigchld(Child& child) {
    asio::signal_set sigchld(co_await asio::this_coro::executor);
    std::error_code ec;
    sigchld.add(SIGCHLD, ec);
    if (ec) co_return std::unexpected(os_error(ec.value()));
    // Registered before the first look, so no end between the two is missed.
    for (;;) {
        const auto state = child.try_wait();
        if (!state) co_return std::unexpected(state.error());
        if (state->ended) co_return state->status;
        co_await sigchld.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return std::unexpected(os_error(ec.value()));
    }
}

}  // namespace

asio::awaitable<std::expected<int, std::string>> async_wait(Child& child) {
    if (child.reaped()) co_return *child.status();
    if (child.pidfd() < 0) co_return co_await wait_by_sigchld(child);
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
