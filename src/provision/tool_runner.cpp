#include "provision/tool_runner.h"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>

#include <fmt/format.h>

#include "common/child_process.h"
#include "common/exit_status.h"
#include "common/os_error.h"
#include "common/text.h"
#include "provision/cancel_signals.h"

namespace kelvo {

namespace {

// How long the tool of a cancelled provision has to end after SIGTERM, and
// again after SIGKILL.
constexpr int kGraceMs = 2000;
// How often a wait looks at a child whose end no pidfd reports.
constexpr int kLookMs = 20;
// How often a running tool's tick runs.
constexpr auto kTick = std::chrono::milliseconds(500);

struct Output {
    std::string out;
    std::string err;
};

// Reads both pipes until each reaches end of file, whichever has data first,
// so a child filling one pipe never blocks while the other is being read.
// A read error ends that stream like end of file; tick runs every kTick
// meanwhile. False when provision is cancelled first.
bool drain(Child& child, Output& output, bool keep_stdout, const std::function<void()>& tick) {
    pollfd fds[3] = {
        {child.stdout_fd(), POLLIN, 0}, {child.stderr_fd(), POLLIN, 0}, {cancel_fd(), POLLIN, 0}};
    std::string* sinks[2] = {keep_stdout ? &output.out : nullptr, &output.err};
    char buffer[65536];
    int open_streams = 2;
    auto next_tick = std::chrono::steady_clock::now() + kTick;
    while (open_streams > 0) {
        const int ready = ::poll(fds, 3, tick ? static_cast<int>(kTick.count()) : -1);
        if (tick && std::chrono::steady_clock::now() >= next_tick) {
            tick();
            next_tick = std::chrono::steady_clock::now() + kTick;
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[2].revents != 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                fds[i].fd = -1;  // poll ignores negative descriptors
                --open_streams;
                continue;
            }
            if (sinks[i]) sinks[i]->append(buffer, static_cast<size_t>(n));
        }
    }
    child.close_pipes();
    return true;
}

// Waits for the child's end for at most timeout_ms (without limit when
// negative), and when watch_cancel only until provision is cancelled:
// whether it ended, or the system's error.
std::expected<bool, std::string> wait_for_end(Child& child, int timeout_ms, bool watch_cancel) {
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto state = child.try_wait();
        if (!state) return std::unexpected(state.error());
        if (state->ended) return true;
        int step = kLookMs;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            step = static_cast<int>(std::min<long long>(step, left));
        }
        // A pidfd (where the kernel has one) ends the pause at the child's end.
        pollfd fds[2] = {{child.pidfd(), POLLIN, 0}, {watch_cancel ? cancel_fd() : -1, POLLIN, 0}};
        if (::poll(fds, 2, step) > 0 && fds[1].revents != 0) return false;
    }
}

// Ends the tool of a cancelled provision: SIGTERM, SIGKILL after the grace
// period, then one more bounded wait. A child that outlives even SIGKILL
// (stuck in the kernel) is left to the system rather than waited for
// without end.
void stop(Child& child) {
    child.close_pipes();
    child.kill(SIGTERM);
    if (const auto ended = wait_for_end(child, kGraceMs, false); !ended || *ended) return;
    child.kill(SIGKILL);
    if (const auto ended = wait_for_end(child, kGraceMs, false); ended && !*ended) child.detach();
}

std::expected<Output, std::string> run(const std::string& program,
                                       const std::vector<std::string>& args, bool keep_stdout,
                                       bool private_files, int input = -1,
                                       const std::function<void()>& tick = {}) {
    // A cancelled provision starts no more tools.
    if (cancel_signal() != 0) return std::unexpected(fmt::format("{} not started", program));
    // A provision killed outright (SIGKILL) takes its tool along.
    auto child = spawn({.program = program,
                        .args = args,
                        .in = input >= 0 ? Redirect::to_fd(input) : Redirect::null(),
                        .out = Redirect::pipe(),
                        .err = Redirect::pipe(),
                        .umask = private_files ? std::optional<mode_t>(077) : std::nullopt,
                        .kill_on_drop = true,
                        .parent_death_signal = SIGKILL});
    if (!child) return std::unexpected(fmt::format("spawn {}: {}", program, child.error()));
    Output output;
    bool ended = drain(*child, output, keep_stdout, tick);
    if (ended) {
        const auto waited = wait_for_end(*child, -1, true);
        if (!waited) return std::unexpected(fmt::format("wait {}: {}", program, waited.error()));
        ended = *waited;
    }
    // Once provision is cancelled no tool counts as done, even one that
    // ended as the signal came.
    if (!ended || cancel_signal() != 0) {
        stop(*child);
        return std::unexpected(fmt::format("{} stopped", program));
    }
    const int status = *child->status();
    if (!wait_status_success(status)) {
        const std::string err = utf8_lossy(output.err);
        return std::unexpected(
            fmt::format("{} exited with {}: {}", program, describe_wait_status(status), trim(err)));
    }
    return output;
}

}  // namespace

std::expected<std::string, std::string> run_tool_capture(const std::string& program,
                                                         const std::vector<std::string>& args,
                                                         int input) {
    auto output = run(program, args, true, false, input);
    if (!output) return std::unexpected(output.error());
    return utf8_lossy(output->out);
}

std::expected<void, std::string> run_tool(const std::string& program,
                                          const std::vector<std::string>& args, bool private_files,
                                          const std::function<void()>& tick) {
    auto output = run(program, args, false, private_files, -1, tick);
    if (!output) return std::unexpected(output.error());
    return {};
}

}  // namespace kelvo
