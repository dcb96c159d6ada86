#include "events/events.h"

#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/stdout_capture.h"

#include "common/text.h"

namespace kelvo {
namespace {

using test_support::StdoutCapture;

TEST(Events, RecordsAreCompactSortedAndEscaped) {
    StdoutCapture capture;
    emit_state(VmState::Starting);
    emit_running(2222);
    emit_log("provisioning: complete");
    emit_error("hibernate: timed out");
    emit_log("a\"b\\c\nd\te\x01/\x1f f\x08\x0c\r");
    emit_log("launching (sshd→127.0.0.1:22) — ok");
    EXPECT_EQ(capture.text(),
              "{\"event\":\"state\",\"state\":\"starting\"}\n"
              "{\"event\":\"state\",\"port\":2222,\"state\":\"running\"}\n"
              "{\"event\":\"log\",\"line\":\"provisioning: complete\"}\n"
              "{\"event\":\"error\",\"message\":\"hibernate: timed out\"}\n"
              "{\"event\":\"log\",\"line\":\"a\\\"b\\\\c\\nd\\te\\u0001/\\u001f f\\b\\f\\r\"}\n"
              "{\"event\":\"log\",\"line\":\"launching (sshd→127.0.0.1:22) — ok\"}\n");
}

TEST(Events, StateWordsAreTheWireWords) {
    EXPECT_EQ(to_string(VmState::Starting), "starting");
    EXPECT_EQ(to_string(VmState::Restoring), "restoring");
    EXPECT_EQ(to_string(VmState::Running), "running");
    EXPECT_EQ(to_string(VmState::Saving), "saving");
    EXPECT_EQ(to_string(VmState::Hibernated), "hibernated");
    EXPECT_EQ(to_string(VmState::Stopped), "stopped");
}

TEST(Events, InvalidUtf8IsReplacedNotThrown) {
    StdoutCapture capture;
    emit_error("bad \xff byte");
    EXPECT_EQ(capture.text(), "{\"event\":\"error\",\"message\":\"bad \xEF\xBF\xBD byte\"}\n");
}

TEST(Events, ConcurrentEmittersWriteWholeLines) {
    StdoutCapture capture;
    constexpr int kThreads = 8, kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string payload(300 + t, static_cast<char>('a' + t));
            for (int i = 0; i < kPerThread; ++i) emit_log(payload);
        });
    }
    for (auto& t : threads) t.join();
    const auto lines = split_lines(capture.text());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    for (const auto& line : lines) {
        auto value = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(value.is_discarded()) << line.substr(0, 80);
        const std::string text = value["line"];
        EXPECT_EQ(text, std::string(text.size(), text[0]));
    }
}

TEST(Events, ClosedOutputLosesTheEventQuietly) {
    auto old = std::signal(SIGPIPE, SIG_IGN);
    {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ::close(fds[0]);
        const int saved = ::dup(STDOUT_FILENO);
        ::dup2(fds[1], STDOUT_FILENO);
        emit_state(VmState::Stopped);  // the write fails; the event is dropped
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(fds[1]);
    }
    std::signal(SIGPIPE, old);
    // The writer keeps working for the next reader, with no leftover bytes.
    StdoutCapture capture;
    emit_state(VmState::Hibernated);
    EXPECT_EQ(capture.text(), "{\"event\":\"state\",\"state\":\"hibernated\"}\n");
}

}  // namespace
}  // namespace kelvo
