#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvo {

// How a JSON value that does not fit is named inside a "invalid type: {found},
// expected {expected}" message.

// A number as the reader produced it: a non-negative integer, a negative
// integer, or anything else (fraction, exponent, too long, "-0").
struct JsonNumber {
    enum class Kind { Unsigned, Negative, Float };
    Kind kind = Kind::Unsigned;
    uint64_t unsigned_value = 0;
    int64_t negative_value = 0;
    double float_value = 0;
};

// "integer `2`", "integer `-1`", "floating point `2.5`".
std::string describe_number(const JsonNumber& number);

// A double in plain positional notation with the fewest digits that read back
// to the same value, always with a decimal point: "2.5", "0.001", "2.0",
// "100000000000000000000.0".
std::string format_float(double value);

// "string \"a\\\"b\"": the text in double quotes with quotes, backslashes,
// tabs, line ends and NUL escaped by a backslash and every other unprintable
// or combining code point as \u{hex}. text must be UTF-8.
std::string describe_string(std::string_view text);
std::string quote_debug(std::string_view text);

}  // namespace kelvo
