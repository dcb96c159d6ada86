#include "provision/cache_lock.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kelvo {
namespace {

TEST(CacheLock, ExcludesASecondHolderUntilReleased) {
    test_support::TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    const std::string dir = tmp.path();
    {
        CacheLock first = CacheLock::acquire(dir);
        ASSERT_TRUE(first.held());
        EXPECT_FALSE(CacheLock::try_acquire(dir).held());
        CacheLock moved = std::move(first);
        EXPECT_FALSE(first.held());
        EXPECT_FALSE(CacheLock::try_acquire(dir).held());
    }
    EXPECT_TRUE(CacheLock::try_acquire(dir).held());
}

TEST(CacheLock, UnusableDirectoryMeansUnlocked) {
    EXPECT_FALSE(CacheLock::acquire("/nonexistent/kelvo-lock-dir").held());
}

}  // namespace
}  // namespace kelvo
