#include "provision/cache_lock.h"

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(CacheLock, ExcludesASecondHolderUntilReleased) {
    char dir[] = "/tmp/kelvo-lock-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    {
        CacheLock first = CacheLock::acquire(dir);
        ASSERT_TRUE(first.held());
        EXPECT_FALSE(CacheLock::try_acquire(dir).held());
        CacheLock moved = std::move(first);
        EXPECT_FALSE(first.held());
        EXPECT_FALSE(CacheLock::try_acquire(dir).held());
    }
    EXPECT_TRUE(CacheLock::try_acquire(dir).held());
    std::filesystem::remove_all(dir);
}

TEST(CacheLock, UnusableDirectoryMeansUnlocked) {
    EXPECT_FALSE(CacheLock::acquire("/nonexistent/kelvo-lock-dir").held());
}

}  // namespace
}  // namespace kelvo
