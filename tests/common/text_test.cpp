#include "common/text.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSequenceOnce) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"a\xFFz", "a\xEF\xBF\xBDz"},
        {"\xE2\x80", "\xEF\xBF\xBD"},  // truncated 3-byte sequence
        {"\xE2\x80z", "\xEF\xBF\xBDz"},
        {"\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong: two replacements
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
        EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out) << c.in;
    }
}

TEST(EscapeControl, ShowsEachControlByteAndKeepsTheRest) {
    EXPECT_EQ(escape_control("plain ü \\x41"), "plain ü \\x41");
    EXPECT_EQ(escape_control(std::string("a\r\x1b[2K\n\t\x07\x7f\0b", 12)),
              "a\\r\\x1b[2K\\n\\t\\x07\\x7f\\x00b");
}

TEST(SplitLines, DropsCarriageReturnAndFinalNewline) {
    EXPECT_EQ(split_lines(""), std::vector<std::string>{});
    EXPECT_EQ(split_lines("a\r\nb\n"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split_lines("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(split_lines("a\rb\n"), (std::vector<std::string>{"a\rb"}));
}

TEST(ParseUnsigned, AcceptsPlusAndRejectsOverflow) {
    unsigned long long v = 7;
    EXPECT_TRUE(parse_unsigned("+42", UINT64_MAX, v));
    EXPECT_EQ(v, 42u);
    EXPECT_TRUE(parse_unsigned("18446744073709551615", UINT64_MAX, v));
    EXPECT_FALSE(parse_unsigned("18446744073709551616", UINT64_MAX, v));
    EXPECT_FALSE(parse_unsigned("4294967296", UINT32_MAX, v));
    for (const char* bad : {"", "+", "-5", "abc", "1 ", "0x10"})
        EXPECT_FALSE(parse_unsigned(bad, UINT64_MAX, v)) << bad;
}

TEST(FirstToken, SkipsLeadingBlanks) {
    EXPECT_EQ(first_token("  abc  def\n"), "abc");
    EXPECT_EQ(first_token(" \n"), "");
    using Fields = std::vector<std::string_view>;
    EXPECT_EQ(split_fields("  0: 0100007F:0016 00000000:0000 0A\t 12345 \n"),
              (Fields{"0:", "0100007F:0016", "00000000:0000", "0A", "12345"}));
    EXPECT_EQ(split_fields(" \t\n"), Fields{});
}

}  // namespace
}  // namespace kelvo
