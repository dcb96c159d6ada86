#include "config/json_cursor.h"

#include <limits>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(FormatFloat, PlainNotationWithShortestDigits) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {2.5, "2.5"},
        {2.0, "2.0"},
        {0.001, "0.001"},
        {1e-7, "0.0000001"},
        {-0.0, "-0.0"},
        {-1.25, "-1.25"},
        {123456789.125, "123456789.125"},
        {1e21, "1000000000000000000000.0"},
        {18446744073709551616.0, "18446744073709552000.0"},
        {0.1 + 0.2, "0.30000000000000004"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_float(c.value), c.text) << c.text;
    // 5e-324, the smallest double.
    EXPECT_EQ(format_float(std::numeric_limits<double>::denorm_min()),
              "0." + std::string(323, '0') + "5");
}

TEST(DescribeNumber, NamesTheKind) {
    JsonNumber u;
    u.unsigned_value = 18446744073709551615u;
    EXPECT_EQ(describe_number(u), "integer `18446744073709551615`");
    JsonNumber n;
    n.kind = JsonNumber::Kind::Negative;
    n.negative_value = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(describe_number(n), "integer `-9223372036854775808`");
    JsonNumber f;
    f.kind = JsonNumber::Kind::Float;
    f.float_value = 3.0;
    EXPECT_EQ(describe_number(f), "floating point `3.0`");
}

TEST(QuoteDebug, EscapesUnprintableAndCombiningCodePoints) {
    struct Case {
        const char* text;
        const char* quoted;
    };
    const Case cases[] = {
        {"plain text", "\"plain text\""},
        {"it's", "\"it's\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\t\r\n", "\"\\t\\r\\n\""},
        {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        {"\u00ad", "\"\\u{ad}\""},                   // soft hyphen (format)
        {"\u2028\u2029", "\"\\u{2028}\\u{2029}\""},  // line and paragraph separators
        {"\u3000", "\"\\u{3000}\""},                 // ideographic space
        {"\ue000", "\"\\u{e000}\""},                 // private use
        {"\U0010ffff", "\"\\u{10ffff}\""},           // unassigned
        {"\u0301e", "\"\\u{301}e\""},                // combining mark first
        {"\u20dd", "\"\\u{20dd}\""},                 // enclosing mark
        {"\u09be", "\"\\u{9be}\""},                  // spacing mark that extends a grapheme
        {"\u00e9\u4e2d\U0001f600", "\"\u00e9\u4e2d\U0001f600\""},
    };
    for (const Case& c : cases) EXPECT_EQ(quote_debug(c.text), c.quoted) << c.quoted;
    EXPECT_EQ(quote_debug(std::string_view("a\0b", 3)), "\"a\\0b\"");
    EXPECT_EQ(describe_string("2"), "string \"2\"");
}

}  // namespace
}  // namespace kelvo
