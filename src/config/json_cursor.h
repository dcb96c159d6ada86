#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// A strict JSON reader that walks a text byte by byte and reports every
// problem at an exact byte offset. It never recurses: nested values that are
// skipped are tracked on a heap stack, so any depth is safe.

// A read failure. The offset is where it is reported; a failure found above
// the byte level (a missing or repeated field) gets its offset later.
struct JsonError {
    std::string message;
    std::optional<size_t> offset;
};

template <class T>
using JsonResult = std::expected<T, JsonError>;

// "{message} at line {line} column {column}": lines count from 1 and only "\n"
// ends one; the column is the number of bytes between the last "\n" before
// offset and offset.
std::string format_json_error(std::string_view text, const JsonError& error);

// The reader's own descriptions of malformed text.
inline constexpr std::string_view kEofWhileParsingValue = "EOF while parsing a value";
inline constexpr std::string_view kEofWhileParsingObject = "EOF while parsing an object";
inline constexpr std::string_view kEofWhileParsingList = "EOF while parsing a list";
inline constexpr std::string_view kEofWhileParsingString = "EOF while parsing a string";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeString = "key must be a string";
inline constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";

// A number as the reader produced it: a non-negative integer, a negative
// integer, or anything else (fraction, exponent, too long, "-0"). An integer
// stays exact while it fits 64 bits; anything else is the nearest double,
// whose magnitude must stay finite ("number out of range" otherwise; values
// too small become zero).
struct JsonNumber {
    enum class Kind { Unsigned, Negative, Float };
    Kind kind = Kind::Unsigned;
    uint64_t unsigned_value = 0;
    int64_t negative_value = 0;
    double float_value = 0;
};

// How a JSON value that does not fit is named inside an "invalid type:
// {found}, expected {expected}" message.

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

class JsonCursor {
  public:
    explicit JsonCursor(std::string_view text) : text_(text) {}

    // Bytes consumed so far.
    size_t offset() const { return pos_; }

    // Skips space, tab, CR and LF and returns the next byte without consuming
    // it; nothing at the end of the text.
    std::optional<unsigned char> skip_whitespace();

    // Consumes the byte just returned by skip_whitespace().
    void advance() { ++pos_; }

    // A failure reported at the last consumed byte, or at the next one.
    JsonError error(std::string_view message) const;
    JsonError peek_error(std::string_view message) const;

    // After a key: optional whitespace and ":".
    JsonResult<void> expect_colon();

    // The rest of null, true or false after its first byte.
    JsonResult<void> expect_literal(std::string_view rest);

    // A number starting at "-" or a digit.
    JsonResult<JsonNumber> read_number();

    // A string whose opening quote is consumed, escapes decoded.
    JsonResult<std::string> read_string();

    // Consumes one well-formed value of any kind without keeping it. Numbers
    // are not range-checked.
    JsonResult<void> skip_value();

    // The failure for a value (at the next byte) that is not of the type
    // `expected`: a scalar is consumed to name it, "invalid type: {found},
    // expected {expected}"; a malformed scalar gives its syntax error instead.
    JsonError invalid_type(std::string_view expected);

  private:
    struct NumberToken;

    unsigned char peek_or_null() const;
    // A number, string or escape is skipped (checked, not kept) when asked to:
    // a skipped number is not range-checked, a skipped "\u" escape needs no
    // surrogate pair and a control character in a skipped string is reported
    // where it starts rather than past it.
    JsonResult<NumberToken> scan_number(bool skipping);
    JsonResult<void> scan_string(std::string* out);  // nullptr skips
    JsonResult<void> scan_escape(std::string* out);
    JsonResult<void> read_unicode_escape(std::string& out);
    JsonResult<uint16_t> read_hex4();

    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace kelvo
