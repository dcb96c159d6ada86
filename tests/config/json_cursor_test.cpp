#include "config/json_cursor.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

struct NumberCase {
    std::string text;
    JsonNumber::Kind kind;
    double value;  // the expected value, as a double for every kind
    size_t end;    // bytes consumed
};

TEST(JsonCursorNumber, ReadsIntegersExactlyAndTheRestAsDoubles) {
    using K = JsonNumber::Kind;
    const NumberCase cases[] = {
        {"0", K::Unsigned, 0, 1},
        {"0,", K::Unsigned, 0, 1},
        {"42}", K::Unsigned, 42, 2},
        {"18446744073709551615", K::Unsigned, 18446744073709551615.0, 20},
        {"18446744073709551616", K::Float, 18446744073709551616.0, 20},
        {"-1", K::Negative, -1, 2},
        {"-9223372036854775808", K::Negative, -9223372036854775808.0, 20},
        {"-9223372036854775809", K::Float, -9223372036854775809.0, 20},
        {"-0", K::Float, -0.0, 2},
        {"1.5e3", K::Float, 1500, 5},
        {"25E-1", K::Float, 2.5, 5},
        {"1e+2", K::Float, 100, 4},
        {"1e-400", K::Float, 0, 6},
        {"0e99999999999", K::Float, 0, 13},
        {"1e-99999999999", K::Float, 0, 14},
        {"123456789012345678901234567890", K::Float, 1.2345678901234568e29, 30},
        {"0.12345678901234567890123", K::Float, 0.12345678901234568, 25},
    };
    for (const NumberCase& c : cases) {
        JsonCursor in(c.text);
        const auto n = in.read_number();
        ASSERT_TRUE(n.has_value()) << c.text << ": " << n.error().message;
        EXPECT_EQ(n->kind, c.kind) << c.text;
        EXPECT_EQ(in.offset(), c.end) << c.text;
        switch (n->kind) {
            case K::Unsigned:
                EXPECT_EQ(static_cast<double>(n->unsigned_value), c.value);
                break;
            case K::Negative:
                EXPECT_EQ(static_cast<double>(n->negative_value), c.value);
                break;
            case K::Float:
                EXPECT_DOUBLE_EQ(n->float_value, c.value) << c.text;
                EXPECT_EQ(std::signbit(n->float_value), std::signbit(c.value)) << c.text;
                break;
        }
    }
}

// Decimal text becomes the nearest double, ties to even, as every JSON peer
// reads it: a conversion one unit off in the last place would name another
// number in messages.
TEST(JsonCursorNumber, FloatsAreCorrectlyRounded) {
    const std::pair<const char*, double> cases[] = {
        {"0.1", 0.1},
        {"9007199254740993.0", 9007199254740992.0},
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        {"1.7976931348623158e308", std::numeric_limits<double>::max()},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        {"0.30000000000000004", 0.30000000000000004},
    };
    for (const auto& [text, value] : cases) {
        JsonCursor in(text);
        const auto n = in.read_number();
        ASSERT_TRUE(n.has_value()) << text << ": " << n.error().message;
        EXPECT_EQ(n->float_value, value) << text;
    }
}

struct ErrorCase {
    std::string text;
    std::string message;
    size_t offset;
};

TEST(JsonCursorNumber, ReportsMalformedAndInfiniteNumbers) {
    const ErrorCase cases[] = {
        {"-", "EOF while parsing a value", 1},
        {"-a", "invalid number", 2},
        {"01", "invalid number", 2},
        {"1.", "EOF while parsing a value", 2},
        {"1.}", "invalid number", 3},
        {"1e", "EOF while parsing a value", 2},
        {"1e+x", "invalid number", 4},
        {"1e309", "number out of range", 5},
        {"1e99999999999", "number out of range", 12},
        {"-1e309", "number out of range", 6},
        {std::string(400, '9'), "number out of range", 400},
    };
    for (const ErrorCase& c : cases) {
        JsonCursor in(c.text);
        const auto n = in.read_number();
        ASSERT_FALSE(n.has_value()) << c.text;
        EXPECT_EQ(n.error().message, c.message) << c.text;
        EXPECT_EQ(n.error().offset, c.offset) << c.text;
    }
}

TEST(JsonCursorString, DecodesEscapes) {
    JsonCursor in(R"(a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00z")");
    const auto s = in.read_string();
    ASSERT_TRUE(s.has_value()) << s.error().message;
    EXPECT_EQ(*s, "a\"\\/\b\f\n\r\t\u00e9\U0001f600z");
}

TEST(JsonCursorSkip, SkipsAnyWellFormedValue) {
    const std::string values[] = {
        "null",
        "true",
        "false",
        "-1.5e-3",
        "0",
        "1e400",
        R"("x\ud800")",
        "[]",
        "{}",
        R"({"a":[1,{"b":[]},"c"],"d":{}})",
        " [ 1 , [ ] , { } ] ",
    };
    for (const std::string& v : values) {
        const std::string text = v + "#";
        JsonCursor in(text);
        const auto r = in.skip_value();
        EXPECT_TRUE(r.has_value()) << v << ": " << r.error().message;
        EXPECT_EQ(in.skip_whitespace(), '#') << v;
    }
}

TEST(JsonCursorSkip, ReportsMalformedValues) {
    const ErrorCase cases[] = {
        {"", "EOF while parsing a value", 0},
        {"[1,]", "expected value", 4},
        {"[1 2]", "expected `,` or `]`", 4},
        {R"({"a" 1})", "expected `:`", 6},
        {R"({"a":1,})", "key must be a string", 8},
        {R"({"a":1])", "expected `,` or `}`", 7},
        {"[[[", "EOF while parsing a list", 3},
        {R"({"a":{)", "EOF while parsing an object", 6},
        {"nul", "EOF while parsing a value", 3},
        {"nulx", "expected ident", 4},
        {"1.", "invalid number", 2},
        {"-", "invalid number", 1},
        {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string", 2},
        {R"("\u12)", "EOF while parsing a string", 5},
    };
    for (const ErrorCase& c : cases) {
        JsonCursor in(c.text);
        const auto r = in.skip_value();
        ASSERT_FALSE(r.has_value()) << c.text;
        EXPECT_EQ(r.error().message, c.message) << c.text;
        EXPECT_EQ(r.error().offset, c.offset) << c.text;
    }
}

TEST(JsonCursorSkip, DeepNestingNeedsNoRecursion) {
    const size_t depth = 1'000'000;
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    JsonCursor in(nested);
    EXPECT_TRUE(in.skip_value().has_value());
    EXPECT_EQ(in.offset(), nested.size());

    const std::string unterminated = std::string(depth, '[') + "{\"a\":1";
    JsonCursor open(unterminated);
    const auto r = open.skip_value();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "EOF while parsing an object");
}

TEST(FormatJsonError, CountsLinesAndBytes) {
    const std::string text = "ab\ncd\r\n\u00e9f";
    struct Case {
        size_t offset;
        const char* text;
    };
    const Case cases[] = {
        {0, "x at line 1 column 0"}, {2, "x at line 1 column 2"}, {3, "x at line 2 column 0"},
        {6, "x at line 2 column 3"}, {9, "x at line 3 column 2"}, {99, "x at line 3 column 3"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_json_error(text, JsonError{"x", c.offset}), c.text) << c.offset;
    }
}

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
