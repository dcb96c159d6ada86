#include "machine/shell_quote.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(ShellQuote, ApostrophesAreClosedEscapedAndReopened) {
    EXPECT_EQ(shell_quote("/home/u/state.save"), "'/home/u/state.save'");
    EXPECT_EQ(shell_quote("/tmp/it's.save"), "'/tmp/it'\\''s.save'");
    EXPECT_EQ(shell_quote("''"), "''\\'''\\'''");
    EXPECT_EQ(shell_quote("a b$(x)`y`"), "'a b$(x)`y`'");
    EXPECT_EQ(shell_quote(""), "''");
}

}  // namespace
}  // namespace kelvo
