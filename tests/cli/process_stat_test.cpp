#include <gtest/gtest.h>

#include "cli/process_table.h"

namespace kelvo {
namespace {

TEST(ProcessStat, StateLetterFollowsTheCommandName) {
    EXPECT_EQ(parse_stat_state("1234 (qemu-system-x86) S 1 1234 1234 0 -1 4194560\n"), 'S');
    EXPECT_EQ(parse_stat_state("9953 (kelvo-vmhelper) Z 1 9953"), 'Z');
    // The command name may hold ")" and blanks: the last ")" closes it.
    EXPECT_EQ(parse_stat_state("777 (a) b) X) R 1 777"), 'R');
    EXPECT_EQ(parse_stat_state("777 (x) X"), 'X');
}

TEST(ProcessStat, NoStateWhenTheTextEndsEarly) {
    EXPECT_EQ(parse_stat_state(""), std::nullopt);
    EXPECT_EQ(parse_stat_state("777 (x"), std::nullopt);
    EXPECT_EQ(parse_stat_state("777 (x)"), std::nullopt);
    EXPECT_EQ(parse_stat_state("777 (x) "), std::nullopt);
}

}  // namespace
}  // namespace kelvo
