#include "config/json_cursor.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "config/char_class.h"

namespace kelvo {

std::string format_json_error(std::string_view text, const JsonError& error) {
    const size_t offset = std::min(error.offset.value_or(0), text.size());
    const std::string_view before = text.substr(0, offset);
    const size_t last_newline = before.rfind('\n');
    const size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
    const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    return fmt::format("{} at line {} column {}", error.message, line, offset - line_start);
}

namespace {

// Bytes that end the plain run of a string: the quote, the backslash and the
// control characters, which must be escaped.
bool ends_plain_run(unsigned char c) {
    return c == '"' || c == '\\' || c < 0x20;
}

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::optional<unsigned char> JsonCursor::skip_whitespace() {
    while (pos_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return c;
        ++pos_;
    }
    return std::nullopt;
}

unsigned char JsonCursor::peek_or_null() const {
    return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : 0;
}

JsonError JsonCursor::error(std::string_view message) const {
    return JsonError{std::string(message), pos_};
}

JsonError JsonCursor::peek_error(std::string_view message) const {
    return JsonError{std::string(message), std::min(pos_ + 1, text_.size())};
}

JsonResult<void> JsonCursor::expect_colon() {
    const auto c = skip_whitespace();
    if (!c) return std::unexpected(peek_error(kEofWhileParsingObject));
    if (*c != ':') return std::unexpected(peek_error(kExpectedColon));
    ++pos_;
    return {};
}

JsonResult<void> JsonCursor::expect_literal(std::string_view rest) {
    for (char expected : rest) {
        if (pos_ >= text_.size()) return std::unexpected(error(kEofWhileParsingValue));
        if (text_[pos_++] != expected) return std::unexpected(error(kExpectedIdent));
    }
    return {};
}

JsonResult<std::string> JsonCursor::read_string() {
    std::string out;
    if (auto r = scan_string(&out); !r) return std::unexpected(r.error());
    return out;
}

JsonResult<void> JsonCursor::scan_string(std::string* out) {
    size_t start = pos_;
    for (;;) {
        while (pos_ < text_.size() && !ends_plain_run(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) return std::unexpected(error(kEofWhileParsingString));
        const char c = text_[pos_];
        if (out) out->append(text_.substr(start, pos_ - start));
        if (c == '"') {
            ++pos_;
            return {};
        }
        if (c != '\\') {
            // Skipped, a control character is reported where it starts; read,
            // past it.
            if (out) ++pos_;
            return std::unexpected(error(kControlCharacter));
        }
        ++pos_;
        if (auto r = scan_escape(out); !r) return r;
        start = pos_;
    }
}

JsonResult<void> JsonCursor::scan_escape(std::string* out) {
    if (pos_ >= text_.size()) return std::unexpected(error(kEofWhileParsingString));
    const char c = text_[pos_++];
    if (c == 'u') {
        if (out) return read_unicode_escape(*out);
        // Skipped, any four hex digits will do; surrogates are not paired.
        if (auto r = read_hex4(); !r) return std::unexpected(r.error());
        return {};
    }
    constexpr std::string_view kNamed = "\"\\/bfnrt";
    constexpr std::string_view kMeant = "\"\\/\b\f\n\r\t";
    const size_t k = kNamed.find(c);
    if (k == std::string_view::npos) return std::unexpected(error(kInvalidEscape));
    if (out) *out += kMeant[k];
    return {};
}

JsonResult<void> JsonCursor::read_unicode_escape(std::string& out) {
    const auto first = read_hex4();
    if (!first) return std::unexpected(first.error());
    const uint16_t n1 = *first;
    if (n1 >= 0xDC00 && n1 <= 0xDFFF) {
        // A trailing surrogate with nothing before it.
        return std::unexpected(error(kLoneLeadingSurrogate));
    }
    if (n1 < 0xD800 || n1 > 0xDBFF) {
        append_utf8(out, n1);
        return {};
    }
    // A leading surrogate must be followed by "\u" and a trailing one.
    for (char expected : {'\\', 'u'}) {
        if (pos_ >= text_.size()) return std::unexpected(error(kEofWhileParsingString));
        if (text_[pos_++] != expected) return std::unexpected(error(kUnexpectedEndOfHexEscape));
    }
    const auto second = read_hex4();
    if (!second) return std::unexpected(second.error());
    const uint16_t n2 = *second;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return std::unexpected(error(kLoneLeadingSurrogate));
    append_utf8(out, ((char32_t{n1} - 0xD800) << 10 | (char32_t{n2} - 0xDC00)) + 0x10000);
    return {};
}

JsonResult<uint16_t> JsonCursor::read_hex4() {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        return std::unexpected(error(kEofWhileParsingString));
    }
    uint16_t n = 0;
    for (int i = 0; i < 4; ++i) {
        const int v = hex_value(text_[pos_++]);
        if (v < 0) return std::unexpected(error(kInvalidEscape));
        n = static_cast<uint16_t>(n << 4 | v);
    }
    return n;
}

// What scanning a number token learned beyond its extent.
struct JsonCursor::NumberToken {
    size_t start = 0;
    bool integer = true;  // no fraction and no exponent
    bool nonzero = false;
    // The power of ten of the leading digit, before the exponent.
    int64_t order = 0;
    int64_t exponent = 0;  // stops growing once past INT32_MAX
    // Where the exponent's digits first pass INT32_MAX.
    std::optional<size_t> exponent_overflow;
};

JsonResult<JsonCursor::NumberToken> JsonCursor::scan_number(bool skipping) {
    // Where a digit is due, the end of the text is only an invalid number to
    // a value that is skipped.
    const std::string_view eof = skipping ? kInvalidNumber : kEofWhileParsingValue;
    NumberToken t;
    t.start = pos_;
    if (peek_or_null() == '-') ++pos_;
    if (pos_ >= text_.size()) return std::unexpected(error(eof));
    const auto first = static_cast<unsigned char>(text_[pos_++]);
    if (first == '0') {
        // Only one leading zero.
        if (is_digit(peek_or_null())) return std::unexpected(peek_error(kInvalidNumber));
        t.order = -1;
    } else if (is_digit(first)) {
        t.nonzero = true;
        for (; is_digit(peek_or_null()); ++pos_) ++t.order;
    } else {
        return std::unexpected(error(kInvalidNumber));
    }
    if (peek_or_null() == '.') {
        ++pos_;
        t.integer = false;
        const size_t digits = pos_;
        for (unsigned char c = peek_or_null(); is_digit(c); c = peek_or_null()) {
            ++pos_;
            if (!t.nonzero && c == '0') --t.order;
            if (c != '0') t.nonzero = true;
        }
        if (pos_ == digits) {
            return std::unexpected(peek_error(pos_ < text_.size() ? kInvalidNumber : eof));
        }
    }
    if (peek_or_null() == 'e' || peek_or_null() == 'E') {
        ++pos_;
        t.integer = false;
        bool negative = false;
        if (peek_or_null() == '+' || peek_or_null() == '-') negative = text_[pos_++] == '-';
        if (pos_ >= text_.size()) return std::unexpected(error(eof));
        if (!is_digit(text_[pos_])) {
            ++pos_;
            return std::unexpected(error(kInvalidNumber));
        }
        for (; is_digit(peek_or_null()); ++pos_) {
            if (t.exponent > std::numeric_limits<int32_t>::max()) continue;
            t.exponent = t.exponent * 10 + (text_[pos_] - '0');
            if (t.exponent > std::numeric_limits<int32_t>::max()) t.exponent_overflow = pos_ + 1;
        }
        if (negative) t.exponent = -t.exponent;
    }
    return t;
}

JsonResult<JsonNumber> JsonCursor::read_number() {
    const auto token = scan_number(false);
    if (!token) return std::unexpected(token.error());
    const char* first = text_.data() + token->start;
    const char* last = text_.data() + pos_;
    JsonNumber n;
    if (token->integer) {
        // An integer stays exact while it fits 64 bits; "-0" is a double.
        if (*first != '-') {
            if (std::from_chars(first, last, n.unsigned_value).ec == std::errc()) return n;
        } else if (std::from_chars(first, last, n.negative_value).ec == std::errc() &&
                   n.negative_value != 0) {
            n.kind = JsonNumber::Kind::Negative;
            return n;
        }
    }
    // A positive exponent too long for 32 bits is out of range at once.
    if (token->exponent_overflow && token->nonzero && token->exponent > 0) {
        return std::unexpected(JsonError{std::string(kNumberOutOfRange), token->exponent_overflow});
    }
    n.kind = JsonNumber::Kind::Float;
    if (std::from_chars(first, last, n.float_value).ec == std::errc::result_out_of_range) {
        // Too large is an error; too small becomes zero.
        if (token->order + token->exponent >= 0) return std::unexpected(error(kNumberOutOfRange));
        n.float_value = *first == '-' ? -0.0 : 0.0;
    }
    return n;
}

JsonResult<void> JsonCursor::skip_value() {
    // Containers still open outside the innermost one, and the innermost.
    std::vector<char> outer;
    std::optional<char> innermost;
    for (;;) {
        const auto peek = skip_whitespace();
        if (!peek) return std::unexpected(peek_error(kEofWhileParsingValue));
        std::optional<char> opened;
        JsonResult<void> scalar;
        switch (*peek) {
            case 'n':
                ++pos_;
                scalar = expect_literal("ull");
                break;
            case 't':
                ++pos_;
                scalar = expect_literal("rue");
                break;
            case 'f':
                ++pos_;
                scalar = expect_literal("alse");
                break;
            case '"':
                ++pos_;
                scalar = scan_string(nullptr);
                break;
            case '[':
            case '{':
                if (innermost) outer.push_back(*innermost);
                innermost.reset();
                ++pos_;
                opened = static_cast<char>(*peek);
                break;
            default:
                if (*peek != '-' && !is_digit(*peek)) {
                    return std::unexpected(peek_error(kExpectedValue));
                }
                if (auto r = scan_number(true); !r) return std::unexpected(r.error());
                break;
        }
        if (!scalar) return scalar;

        // The container to continue in, and whether a value was just read in it.
        char frame;
        bool after_value;
        if (opened) {
            frame = *opened;
            after_value = false;
        } else if (innermost) {
            frame = *innermost;
            innermost.reset();
            after_value = true;
        } else if (!outer.empty()) {
            frame = outer.back();
            outer.pop_back();
            after_value = true;
        } else {
            return {};  // a lone scalar
        }

        // Close every container that ends here; stop at a comma or a new value.
        for (;;) {
            const auto c = skip_whitespace();
            if (!c) {
                return std::unexpected(
                    peek_error(frame == '[' ? kEofWhileParsingList : kEofWhileParsingObject));
            }
            if (*c == ',' && after_value) {
                ++pos_;
                break;
            }
            const bool closes = (*c == ']' && frame == '[') || (*c == '}' && frame == '{');
            if (!closes) {
                if (after_value) {
                    return std::unexpected(peek_error(frame == '[' ? kExpectedListCommaOrEnd
                                                                   : kExpectedObjectCommaOrEnd));
                }
                break;
            }
            ++pos_;
            if (outer.empty()) return {};
            frame = outer.back();
            outer.pop_back();
            after_value = true;
        }

        if (frame == '{') {
            const auto c = skip_whitespace();
            if (!c) return std::unexpected(peek_error(kEofWhileParsingObject));
            if (*c != '"') return std::unexpected(peek_error(kKeyMustBeString));
            ++pos_;
            if (auto r = scan_string(nullptr); !r) return r;
            if (auto r = expect_colon(); !r) return r;
        }
        innermost = frame;
    }
}

JsonError JsonCursor::invalid_type(std::string_view expected) {
    std::string found;
    switch (peek_or_null()) {
        case 'n':
        case 't':
        case 'f': {
            const char first = text_[pos_++];
            const std::string_view rest = first == 'n' ? "ull" : first == 't' ? "rue" : "alse";
            if (auto r = expect_literal(rest); !r) return r.error();
            found = first == 'n' ? "null" : first == 't' ? "boolean `true`" : "boolean `false`";
            break;
        }
        case '"': {
            ++pos_;
            auto s = read_string();
            if (!s) return s.error();
            found = describe_string(*s);
            break;
        }
        case '[':
            found = "sequence";
            break;
        case '{':
            found = "map";
            break;
        default: {
            const unsigned char c = peek_or_null();
            if (c != '-' && !is_digit(c)) return peek_error(kExpectedValue);
            auto n = read_number();
            if (!n) return n.error();
            found = describe_number(*n);
            break;
        }
    }
    // Reported at the last byte of the value, or before an opening bracket.
    return JsonError{fmt::format("invalid type: {}, expected {}", found, expected), pos_};
}

std::string describe_number(const JsonNumber& number) {
    switch (number.kind) {
        case JsonNumber::Kind::Unsigned:
            return fmt::format("integer `{}`", number.unsigned_value);
        case JsonNumber::Kind::Negative:
            return fmt::format("integer `{}`", number.negative_value);
        case JsonNumber::Kind::Float:
            break;
    }
    return fmt::format("floating point `{}`", format_float(number.float_value));
}

std::string format_float(double value) {
    // The shortest digits that read back, as "d.ddde+XX", laid out again
    // without an exponent.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, res.ptr - buf);
    const size_t e_pos = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_pos);
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

    std::string out;
    if (!mantissa.empty() && mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits += c;
    }
    const int n = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent >= n - 1) {
        out += digits;
        out.append(static_cast<size_t>(exponent - (n - 1)), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<size_t>(exponent + 1));
        out += '.';
        out += digits.substr(static_cast<size_t>(exponent + 1));
    }
    return out;
}

namespace {

// Decodes the code point at text[i] (text is UTF-8) and advances i past it.
char32_t next_code_point(std::string_view text, size_t& i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    size_t len = 1;
    char32_t c = b0;
    if (b0 >= 0xF0) {
        len = 4;
        c = b0 & 0x07;
    } else if (b0 >= 0xE0) {
        len = 3;
        c = b0 & 0x0F;
    } else if (b0 >= 0xC0) {
        len = 2;
        c = b0 & 0x1F;
    }
    for (size_t k = 1; k < len && i + k < text.size(); ++k) {
        c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += len;
    return c;
}

}  // namespace

std::string quote_debug(std::string_view text) {
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size()) {
        const size_t start = i;
        const char32_t c = next_code_point(text, i);
        switch (c) {
            case U'\0':
                out += "\\0";
                continue;
            case U'\t':
                out += "\\t";
                continue;
            case U'\r':
                out += "\\r";
                continue;
            case U'\n':
                out += "\\n";
                continue;
            case U'\\':
                out += "\\\\";
                continue;
            case U'"':
                out += "\\\"";
                continue;
            default:
                break;
        }
        if (is_grapheme_extend(c) || !is_printable(c)) {
            out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(c));
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += '"';
    return out;
}

std::string describe_string(std::string_view text) {
    return "string " + quote_debug(text);
}

}  // namespace kelvo
