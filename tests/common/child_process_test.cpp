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

namespace kelvo {
namespace {

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
