#include "provision/tool_runner.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>

#include <fmt/format.h>

#include "common/child_process.h"
#include "common/exit_status.h"
#include "common/os_error.h"
#include "common/text.h"

namespace kelvo {

namespace {

struct Output {
    std::string out;
    std::string err;
};

// Reads both pipes until each reaches end of file, whichever has data first,
// so a child filling one pipe never blocks while the other is being read.
// A read error ends that stream like end of file.
void drain(Child& child, Output& output, bool keep_stdout) {
    pollfd fds[2] = {{child.stdout_fd(), POLLIN, 0}, {child.stderr_fd(), POLLIN, 0}};
    std::string* sinks[2] = {keep_stdout ? &output.out : nullptr, &output.err};
    char buffer[65536];
    int open_streams = 2;
    while (open_streams > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
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
}

std::expected<Output, std::string> run(const std::string& program,
                                       const std::vector<std::string>& args, bool keep_stdout,
                                       bool private_files) {
    auto child = spawn({.program = program,
                        .args = args,
                        .in = Redirect::null(),
                        .out = Redirect::pipe(),
                        .err = Redirect::pipe(),
                        .umask = private_files ? std::optional<mode_t>(077) : std::nullopt,
                        .kill_on_drop = true});
    if (!child) return std::unexpected(fmt::format("spawn {}: {}", program, child.error()));
    Output output;
    drain(*child, output, keep_stdout);
    auto status = child->wait();
    if (!status) return std::unexpected(fmt::format("wait {}: {}", program, status.error()));
    if (!wait_status_success(*status)) {
        const std::string err = utf8_lossy(output.err);
        return std::unexpected(fmt::format("{} exited with {}: {}", program,
                                           describe_wait_status(*status), trim(err)));
    }
    return output;
}

}  // namespace

std::expected<std::string, std::string> run_tool_capture(const std::string& program,
                                                         const std::vector<std::string>& args) {
    auto output = run(program, args, true, false);
    if (!output) return std::unexpected(output.error());
    return utf8_lossy(output->out);
}

std::expected<void, std::string> run_tool(const std::string& program,
                                          const std::vector<std::string>& args,
                                          bool private_files) {
    auto output = run(program, args, false, private_files);
    if (!output) return std::unexpected(output.error());
    return {};
}

}  // namespace kelvo
