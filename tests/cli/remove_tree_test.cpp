#include "cli/remove_tree.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "common/os_error.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::TempDir;
using test_support::write_file;
namespace fs = std::filesystem;

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
