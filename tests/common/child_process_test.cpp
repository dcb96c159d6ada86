#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "support/emulation.h"

#include "common/child_process.h"
#include "common/exit_status.h"
#include "common/os_error.h"

namespace kelvo {
namespace {

TEST(OsError, DescriptionThenNumber) {
    EXPECT_EQ(os_error(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error(EACCES), "Permission denied (os error 13)");
}

int status_of_shell(const char* script) {
    auto child = spawn({.program = "sh", .args = {"-c", script}});
    EXPECT_TRUE(child.has_value());
    auto st = child->wait();
    EXPECT_TRUE(st.has_value());
    return *st;
}

TEST(DescribeWaitStatus, ExitCodesAndSignals) {
    EXPECT_EQ(describe_wait_status(status_of_shell("exit 1")), "exit status: 1");
    EXPECT_EQ(describe_wait_status(status_of_shell("exit 22")), "exit status: 22");
    EXPECT_EQ(describe_wait_status(status_of_shell("kill -9 $$")), "signal: 9 (SIGKILL)");
    EXPECT_EQ(describe_wait_status(status_of_shell("kill -TERM $$")), "signal: 15 (SIGTERM)");
    EXPECT_TRUE(wait_status_success(status_of_shell("exit 0")));
    EXPECT_FALSE(wait_status_success(status_of_shell("exit 3")));
    // A core-dump flag is rendered after the signal name.
    EXPECT_EQ(describe_wait_status(SIGABRT | 0x80), "signal: 6 (SIGABRT) (core dumped)");
}

TEST(Spawn, MissingProgramReportsTheSystemError) {
    KELVO_SKIP_SPAWN_ERRORS_UNDER_EMULATION();
    auto child = spawn({.program = "kelvo-no-such-program-xyz"});
    ASSERT_FALSE(child.has_value());
    EXPECT_EQ(child.error(), "No such file or directory (os error 2)");
}

TEST(Spawn, PipesCarryOutputAndNullInputIsEmpty) {
    auto child = spawn({.program = "sh",
                        .args = {"-c", "cat; echo out; echo err >&2"},
                        .in = Redirect::null(),
                        .out = Redirect::pipe(),
                        .err = Redirect::pipe()});
    ASSERT_TRUE(child.has_value());
    std::string out, err;
    char buf[64];
    for (ssize_t n; (n = ::read(child->stdout_fd(), buf, sizeof buf)) > 0;) out.append(buf, n);
    for (ssize_t n; (n = ::read(child->stderr_fd(), buf, sizeof buf)) > 0;) err.append(buf, n);
    EXPECT_EQ(out, "out\n");
    EXPECT_EQ(err, "err\n");
    EXPECT_EQ(child->wait().value(), 0);
}

TEST(Spawn, KillOnDropEndsAndReapsTheChild) {
    pid_t pid;
    {
        auto child = spawn({.program = "sleep", .args = {"30"}, .kill_on_drop = true});
        ASSERT_TRUE(child.has_value());
        pid = child->pid();
    }
    // Reaped by the drop: the pid is no longer our child.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

TEST(Spawn, AsyncWaitSeesTheEnd) {
    asio::io_context context;
    auto child = spawn({.program = "sh", .args = {"-c", "exit 5"}});
    ASSERT_TRUE(child.has_value());
    auto result = asio::co_spawn(context, async_wait(*child), asio::use_future);
    context.run_for(std::chrono::seconds(10));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_EQ(describe_wait_status(result.get().value()), "exit status: 5");
    EXPECT_TRUE(child->reaped());
}

}  // namespace
}  // namespace kelvo
