#include "common/os_error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(OsError, DescriptionThenNumber) {
    EXPECT_EQ(os_error(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error(EACCES), "Permission denied (os error 13)");
}

}  // namespace
}  // namespace kelvo
