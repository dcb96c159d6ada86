#include "cli/log_follower.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::append_file;
using test_support::TempDir;
using test_support::write_file;
using Lines = std::vector<std::string>;

TEST(LogFollower, HandsOutCompleteLinesOnly) {
    TempDir tmp;
    const auto path = tmp.path() / "helper.out";
    write_file(path, "");
    auto follower = open_log_follower(path, 0);
    ASSERT_TRUE(follower.has_value()) << follower.error();

    // Each step appends text, then reads: the lines that call returns.
    struct Step {
        std::string append;
        Lines lines;
    } steps[] = {
        {"", {}},
        {"first\nsec", {"first"}},
        {"ond", {}},
        {"\n", {"second"}},
        {"crlf\r\ntrailing  \t\n\n", {"crlf", "trailing", ""}},
        {"a\nb\nc", {"a", "b"}},
        {"\n", {"c"}},
        {"bad \xff byte\n", {"bad \xEF\xBF\xBD byte"}},
        // A line past the limit is dropped up to its newline.
        {std::string(kMaxPendingLine + 10, 'x'), {}},
        {"tail\nnext\n", {"next"}},
    };
    for (const auto& step : steps) {
        append_file(path, step.append);
        EXPECT_EQ(read_new_lines(*follower), step.lines) << step.append.substr(0, 40);
    }
}

TEST(LogFollower, StartsAtTheGivenOffset) {
    TempDir tmp;
    const auto path = tmp.path() / "log";
    write_file(path, "old 1\nold 2\n");
    auto follower = open_log_follower(path, 6);
    ASSERT_TRUE(follower.has_value());
    EXPECT_EQ(read_new_lines(*follower), Lines{"old 2"});
    EXPECT_EQ(follower->position(), 12u);
}

TEST(LogFollower, TruncatedFileIsReadAgainFromItsStart) {
    TempDir tmp;
    const auto path = tmp.path() / "helper.out";
    write_file(path, "run one line 1\nrun one line 2\npartial");
    auto follower = open_log_follower(path, 0);
    ASSERT_TRUE(follower.has_value());
    EXPECT_EQ(read_new_lines(*follower), (Lines{"run one line 1", "run one line 2"}));
    EXPECT_EQ(follower->pending(), "partial");

    // start truncates the log and the new helper writes less than before.
    write_file(path, "new 1\n");
    EXPECT_EQ(read_new_lines(*follower), Lines{"new 1"});
    EXPECT_EQ(follower->pending(), "");
    append_file(path, "new 2\n");
    EXPECT_EQ(read_new_lines(*follower), Lines{"new 2"});
}

TEST(LogFollower, FollowFromEndShowsOnlyLaterLines) {
    TempDir tmp;
    const auto path = tmp.path() / "helper.out";
    write_file(path, "before\n");
    auto follower = follow_from_end(path);
    ASSERT_TRUE(follower.has_value());
    EXPECT_EQ(read_new_lines(*follower), Lines{});
    append_file(path, "after\n");
    EXPECT_EQ(read_new_lines(*follower), Lines{"after"});

    EXPECT_FALSE(follow_from_end(tmp.path() / "missing").has_value());
}

TEST(LogFollower, OpenFailureNamesThePath) {
    TempDir tmp;
    const auto path = tmp.path() / "missing.out";
    EXPECT_EQ(open_log_follower(path, 0).error(),
              "open " + path.string() + ": No such file or directory (os error 2)");
}

TEST(LogFollower, OnlyRegularFilesAreFollowed) {
    TempDir tmp;
    const auto path = tmp.path() / "helper.out";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(follow_from_end(path).has_value());  // and never blocks
    EXPECT_EQ(open_log_follower("/dev/zero", 0).error(), "open /dev/zero: not a regular file");
}

TEST(LogFollower, KeepsReadingAFileDeletedWhileOpen) {
    TempDir tmp;
    const auto path = tmp.path() / "helper.out";
    write_file(path, "one\n");
    auto follower = open_log_follower(path, 0);
    ASSERT_TRUE(follower.has_value());
    std::filesystem::remove(path);
    EXPECT_EQ(read_new_lines(*follower), Lines{"one"});
    EXPECT_EQ(read_new_lines(*follower), Lines{});
}

}  // namespace
}  // namespace kelvo
