#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "config/found_value.h"

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
    unsigned char peek_or_null() const;
    JsonResult<JsonNumber> number_tail(bool positive, uint64_t significand);
    JsonResult<double> read_decimal(bool positive, uint64_t significand, int32_t exponent);
    JsonResult<double> read_exponent(bool positive, uint64_t significand, int32_t exponent);
    JsonResult<double> read_long_integer(bool positive, uint64_t significand);
    JsonResult<double> float_from_parts(bool positive, uint64_t significand, int32_t exponent);
    JsonResult<void> read_escape(std::string& out);
    JsonResult<void> read_unicode_escape(std::string& out);
    JsonResult<uint16_t> read_hex4();
    JsonResult<void> skip_string();
    JsonResult<void> skip_escape();
    JsonResult<void> skip_number();
    JsonResult<void> skip_fraction();
    JsonResult<void> skip_exponent();

    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace kelvo
