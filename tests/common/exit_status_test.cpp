#include "common/exit_status.h"

#include <csignal>

#include <gtest/gtest.h>

#include "common/child_process.h"

namespace kelvo {
namespace {

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

}  // namespace
}  // namespace kelvo
