#include "common/files.h"

#include <sys/stat.h>
#include <cerrno>
#include <optional>

#include <gtest/gtest.h>

#include "common/os_error.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::TempDir;
using test_support::write_file;
namespace fs = std::filesystem;

TEST(Files, ReadsOnlyRegularFilesWholeOrCapped) {
    TempDir tmp;
    write_file(tmp.path() / "log", "first line\nsecond\n");
    ASSERT_EQ(::mkfifo((tmp.path() / "fifo").c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::optional<size_t> cap;
        std::string read;  // or, when it fails, the error
        bool ok;
        std::string tail = {};  // the last `cap` bytes, when it does not fail
    };
    for (const auto& c : {
             Case{"log", std::nullopt, "first line\nsecond\n", true},
             Case{"log", 5, "first", true, "cond\n"},
             Case{"log", 0, "", true, ""},
             Case{"log", 4096, "first line\nsecond\n", true, "first line\nsecond\n"},
             Case{"fifo", 5, "not a regular file", false},
             Case{".", std::nullopt, os_error(EISDIR), false},
             Case{"missing", 5, os_error(ENOENT), false},
         }) {
        const auto got = read_regular_file(tmp.path() / c.name, c.cap);
        ASSERT_EQ(got.has_value(), c.ok) << c.name;
        EXPECT_EQ(c.ok ? *got : got.error(), c.read) << c.name;
        if (!c.cap) continue;
        const auto tail = read_file_tail(tmp.path() / c.name, *c.cap);
        ASSERT_EQ(tail.has_value(), c.ok) << c.name;
        EXPECT_EQ(c.ok ? tail->bytes : tail.error(), c.ok ? c.tail : c.read) << c.name;
    }
    EXPECT_EQ(file_size((tmp.path() / "log").string()), 18u);
    EXPECT_EQ(file_size((tmp.path() / "missing").string()), std::nullopt);
    EXPECT_EQ(file_size(std::string()), std::nullopt);
    EXPECT_TRUE(path_exists(tmp.path() / "fifo"));
    EXPECT_FALSE(is_directory((tmp.path() / "log").string()));
    ASSERT_TRUE(create_dir_all(tmp.path() / "a" / "b" / "c").has_value());
    EXPECT_TRUE(is_directory((tmp.path() / "a" / "b" / "c").string()));
    EXPECT_TRUE(create_dir_all(tmp.path() / "a" / "b").has_value());  // exists already
    EXPECT_EQ(create_dir_all(tmp.path() / "log" / "x").error(), os_error(ENOTDIR));
}

TEST(RemoveTree, RemovesNestedContentWithoutFollowingLinks) {
    TempDir tmp;
    const auto outside = tmp.path() / "outside";
    write_file(outside / "keep.txt", "keep");
    const auto vm = tmp.path() / "vm";
    write_file(vm / "helper.json", "{}");
    write_file(vm / "sub" / "deeper" / "file", "x");
    fs::create_symlink(outside, vm / "link-to-dir");
    fs::create_symlink(outside / "keep.txt", vm / "sub" / "link-to-file");
    fs::create_symlink(tmp.path() / "nowhere", vm / "dangling");

    ASSERT_TRUE(remove_tree(vm).has_value());
    EXPECT_FALSE(fs::exists(fs::symlink_status(vm)));
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));
}

TEST(RemoveTree, LinkToADirectoryLosesOnlyTheLink) {
    TempDir tmp;
    const auto real = tmp.path() / "real";
    write_file(real / "helper.json", "{}");
    const auto link = tmp.path() / "vm";
    fs::create_symlink(real, link);

    ASSERT_TRUE(remove_tree(link).has_value());
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(fs::exists(real / "helper.json"));
}

TEST(RemoveTree, MissingPathIsAnError) {
    TempDir tmp;
    EXPECT_EQ(remove_tree(tmp.path() / "missing").error(), os_error(ENOENT));
}

}  // namespace
}  // namespace kelvo
