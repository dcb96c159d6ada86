#pragma once

#include <sys/types.h>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/unique_fd.h"

namespace kelvo {

// Where a standard stream of a child goes.
struct Redirect {
    enum class Kind { Inherit, Null, Fd, Pipe };
    Kind kind = Kind::Inherit;
    int fd = -1;  // for Kind::Fd: the parent's descriptor (stays owned by the caller)

    static Redirect inherit() { return {Kind::Inherit, -1}; }
    static Redirect null() { return {Kind::Null, -1}; }
    static Redirect to_fd(int fd) { return {Kind::Fd, fd}; }
    static Redirect pipe() { return {Kind::Pipe, -1}; }
};

struct SpawnOptions {
    std::string program{};            // resolved through PATH unless it contains a '/'
    std::vector<std::string> args{};  // arguments after the program name
    Redirect in = Redirect::inherit();
    Redirect out = Redirect::inherit();
    Redirect err = Redirect::inherit();
    int pass_fd = -1;  // when set, the child gets it as its descriptor 3 (stays the caller's)
    // The child's file-creation mask, when not this process's own. (The
    // process's mask is changed for the moment of the spawn.)
    std::optional<mode_t> umask{};
    bool new_session = false;  // setsid() in the child
    // A process group of the child's own: a terminal's Ctrl-C (SIGINT) or
    // hang-up (SIGHUP), sent to the foreground group, does not reach it.
    bool own_process_group = false;
    bool kill_on_drop = false;  // SIGKILL (and reap) when the handle is dropped unreaped
    // When not 0, the signal the child gets when its parent dies
    // (PR_SET_PDEATHSIG), so that a parent killed with SIGKILL leaves no
    // child behind. The kernel sends it when the thread that spawned the
    // child ends: a child spawned by a short-lived thread must be awaited
    // before that thread returns. Such a child is started by fork and exec.
    int parent_death_signal = 0;
};

// What a look at a child that does not block finds.
struct ExitState {
    bool ended = false;  // false: the child still runs
    int status = 0;      // its wait status, once ended
};

// One spawned child process. Move-only; owns its pidfd and the parent's
// ends of any pipes.
class Child {
  public:
    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_.get(); }
    // Parent's read ends of Redirect::pipe() streams (-1 otherwise). Owned.
    int stdout_fd() const { return out_fd_.get(); }
    int stderr_fd() const { return err_fd_.get(); }
    // Closes the pipe ends early (the caller has read them to end of file).
    void close_pipes();

    // The wait status once collected.
    std::optional<int> status() const { return status_; }
    bool reaped() const { return status_.has_value(); }

    // Collects the exit without blocking: whether the child has ended and
    // then its wait status, or the system's error.
    std::expected<ExitState, std::string> try_wait();
    // Blocks until the child ends; returns its wait status.
    std::expected<int, std::string> wait();
    // Sends a signal unless the exit has been collected; errors are ignored.
    void kill(int signal_number);
    // Forgets the child: it is neither killed nor reaped on drop.
    void detach();

  private:
    friend std::expected<Child, std::string> spawn(const SpawnOptions& options);
    void reset();

    pid_t pid_ = -1;
    UniqueFd pidfd_;
    UniqueFd out_fd_;
    UniqueFd err_fd_;
    bool kill_on_drop_ = false;
    std::optional<int> status_;
};

// Starts a child. The error is the system's description of why the program
// could not be started ("No such file or directory (os error 2)").
std::expected<Child, std::string> spawn(const SpawnOptions& options);

// Waits for the child's end without blocking a thread (through its pidfd,
// or SIGCHLD where the kernel has no pidfd).
// Returns the wait status, or the system's error text.
asio::awaitable<std::expected<int, std::string>> async_wait(Child& child);

}  // namespace kelvo
