#include "cli/text_table.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(TextTable, ColumnsAsWideAsTheirLongestCell) {
    const std::string out = format_table({
        {"NAME", "STATE", "SSH", "CPUS", "MEMORY", "ID"},
        {"dev-box", "running", "2222", "2", "4096 MiB", "3f2a9c1e-77d"},
    });
    EXPECT_EQ(out,
              "NAME     STATE    SSH   CPUS  MEMORY    ID\n"
              "dev-box  running  2222  2     4096 MiB  3f2a9c1e-77d\n");
}

TEST(TextTable, WidthInBytesFillInCharacters) {
    // "café" is 5 bytes and 4 characters: the column is 5 wide, so the cell
    // gets one blank of fill and the column comes out one character wider.
    const std::string out = format_table({{"NAME", "X"}, {"café", "1"}, {"ab", "2"}});
    EXPECT_EQ(out,
              "NAME   X\n"
              "café   1\n"
              "ab     2\n");
}

TEST(TextTable, TrailingBlanksRemoved) {
    EXPECT_EQ(format_table({{"A", "LONGER"}, {"b", ""}}), "A  LONGER\nb\n");
}

TEST(TextTable, CharCount) {
    EXPECT_EQ(char_count(""), 0u);
    EXPECT_EQ(char_count("abc"), 3u);
    EXPECT_EQ(char_count("—…"), 2u);
    EXPECT_EQ(char_count("\xF0\x9F\x98\x80x"), 2u);
}

}  // namespace
}  // namespace kelvo
