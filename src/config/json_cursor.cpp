#include "config/json_cursor.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

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
    size_t start = pos_;
    for (;;) {
        while (pos_ < text_.size() && !ends_plain_run(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) return std::unexpected(error(kEofWhileParsingString));
        const char c = text_[pos_];
        if (c == '"') {
            out.append(text_.substr(start, pos_ - start));
            ++pos_;
            return out;
        }
        if (c != '\\') {
            ++pos_;
            return std::unexpected(error(kControlCharacter));
        }
        out.append(text_.substr(start, pos_ - start));
        ++pos_;
        if (auto r = read_escape(out); !r) return std::unexpected(r.error());
        start = pos_;
    }
}

JsonResult<void> JsonCursor::read_escape(std::string& out) {
    if (pos_ >= text_.size()) return std::unexpected(error(kEofWhileParsingString));
    switch (text_[pos_++]) {
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        case '/':
            out += '/';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u':
            return read_unicode_escape(out);
        default:
            return std::unexpected(error(kInvalidEscape));
    }
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

JsonResult<void> JsonCursor::skip_string() {
    for (;;) {
        while (pos_ < text_.size() && !ends_plain_run(text_[pos_])) ++pos_;
        if (pos_ == text_.size()) return std::unexpected(error(kEofWhileParsingString));
        const char c = text_[pos_];
        if (c == '"') {
            ++pos_;
            return {};
        }
        // A control character is reported where it starts, not past it.
        if (c != '\\') return std::unexpected(error(kControlCharacter));
        ++pos_;
        if (auto r = skip_escape(); !r) return r;
    }
}

JsonResult<void> JsonCursor::skip_escape() {
    if (pos_ >= text_.size()) return std::unexpected(error(kEofWhileParsingString));
    switch (text_[pos_++]) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            return {};
        case 'u': {
            // Any four hex digits will do; surrogates are not paired here.
            const auto r = read_hex4();
            if (!r) return std::unexpected(r.error());
            return {};
        }
        default:
            return std::unexpected(error(kInvalidEscape));
    }
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
            case '-':
                ++pos_;
                scalar = skip_number();
                break;
            case '"':
                ++pos_;
                scalar = skip_string();
                break;
            case '[':
            case '{':
                if (innermost) outer.push_back(*innermost);
                innermost.reset();
                ++pos_;
                opened = static_cast<char>(*peek);
                break;
            default:
                if (*peek >= '0' && *peek <= '9') {
                    scalar = skip_number();
                    break;
                }
                return std::unexpected(peek_error(kExpectedValue));
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
            if (auto r = skip_string(); !r) return r;
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
            if (c != '-' && !(c >= '0' && c <= '9')) return peek_error(kExpectedValue);
            auto n = read_number();
            if (!n) return n.error();
            found = describe_number(*n);
            break;
        }
    }
    // Reported at the last byte of the value, or before an opening bracket.
    return JsonError{fmt::format("invalid type: {}, expected {}", found, expected), pos_};
}

}  // namespace kelvo
