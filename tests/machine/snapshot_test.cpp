#include "machine/snapshot.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kelvo {
namespace {

using test_support::TempDir;

TEST(Snapshot, CountsOnlyWhenSetAndNonEmpty) {
    TempDir dir;
    dir.write("full", "x");
    dir.write("empty", "");
    ASSERT_EQ(::symlink(dir.file("full").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_TRUE(snapshot_present(dir.file("full")));
    EXPECT_TRUE(snapshot_present(dir.file("link")));
    EXPECT_FALSE(snapshot_present(dir.file("empty")));
    EXPECT_FALSE(snapshot_present(dir.file("missing")));
    EXPECT_FALSE(snapshot_present(dir.file("dangling")));
    EXPECT_FALSE(snapshot_present(""));
}

}  // namespace
}  // namespace kelvo
