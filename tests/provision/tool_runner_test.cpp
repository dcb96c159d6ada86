#include "provision/tool_runner.h"

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/emulation.h"

namespace kelvo {
namespace {

using Result = std::expected<std::string, std::string>;

// Runs the capture on its own thread and gives up after a minute, so a
// runner that deadlocks fails the test instead of hanging it.
Result capture_within_limit(const std::string& program, const std::vector<std::string>& args) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    std::thread([promise, program, args] {
        promise->set_value(run_tool_capture(program, args));
    }).detach();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << program << " did not finish within 60 s";
        return std::unexpected(std::string("timed out"));
    }
    return future.get();
}

Result sh(const std::string& script) {
    return capture_within_limit("sh", {"-c", script});
}

TEST(RunToolCapture, DrainsMegabytesOnBothPipesWithoutDeadlock) {
    // Standard error fills first: a runner that reads standard output to its
    // end before looking at standard error would block forever here.
    auto out =
        sh("head -c 3000000 /dev/zero | tr '\\0' e >&2; "
           "head -c 3000000 /dev/zero | tr '\\0' o; "
           "head -c 2000000 /dev/zero | tr '\\0' e >&2");
    ASSERT_TRUE(out) << out.error().substr(0, 200);
    EXPECT_EQ(out->size(), 3000000u);
    EXPECT_EQ(out->find_first_not_of('o'), std::string::npos);
}

TEST(RunToolCapture, FailureCarriesAllOfLargeStandardError) {
    auto out =
        sh("head -c 1000000 /dev/zero | tr '\\0' o; "
           "head -c 2000000 /dev/zero | tr '\\0' e >&2; exit 4");
    ASSERT_FALSE(out);
    const std::string prefix = "sh exited with exit status: 4: ";
    ASSERT_EQ(out.error().substr(0, prefix.size()), prefix);
    EXPECT_EQ(out.error().size(), prefix.size() + 2000000u);
}

TEST(RunToolCapture, StandardOutputIsUntrimmedAndDecodedLossily) {
    auto out = sh("printf '  a\\377b \\n\\n'");
    ASSERT_TRUE(out) << out.error();
    EXPECT_EQ(*out,
              "  a\xEF\xBF\xBD"
              "b \n\n");
}

TEST(RunToolCapture, StandardInputIsTheNullDevice) {
    // cat ends at once on an empty input instead of waiting on a terminal.
    auto out = capture_within_limit("cat", {});
    ASSERT_TRUE(out) << out.error();
    EXPECT_EQ(*out, "");
}

TEST(RunToolCapture, FailureMessages) {
    struct Case {
        std::string script, message;
    } cases[] = {
        {"exit 1", "sh exited with exit status: 1: "},
        {"echo '  \n boom: it broke \n\t' >&2; exit 3",
         "sh exited with exit status: 3: boom: it broke"},
        {"printf 'bad \\377 byte\\n' >&2; exit 2",
         "sh exited with exit status: 2: bad \xEF\xBF\xBD byte"},
        {"echo partial; echo dying >&2; kill -9 $$", "sh exited with signal: 9 (SIGKILL): dying"},
        {"kill -TERM $$", "sh exited with signal: 15 (SIGTERM): "},
    };
    for (const auto& c : cases) {
        auto out = sh(c.script);
        ASSERT_FALSE(out) << c.script;
        EXPECT_EQ(out.error(), c.message) << c.script;
    }
}

TEST(RunToolCapture, SpawnFailureNamesTheProgram) {
    KELVO_SKIP_SPAWN_ERRORS_UNDER_EMULATION();
    auto out = capture_within_limit("kelvo-no-such-tool", {});
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error(), "spawn kelvo-no-such-tool: No such file or directory (os error 2)");
}

TEST(RunTool, ReportsSuccessAndTheSameFailures) {
    EXPECT_TRUE(run_tool("sh", {"-c", "head -c 2000000 /dev/zero; echo fine >&2"}));
    auto failed = run_tool("sh", {"-c", "echo ' nope ' >&2; exit 7"});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), "sh exited with exit status: 7: nope");
    KELVO_SKIP_SPAWN_ERRORS_UNDER_EMULATION();
    auto missing = run_tool("kelvo-no-such-tool", {"x"});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "spawn kelvo-no-such-tool: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace kelvo
