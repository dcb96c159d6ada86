#include "config/found_value.h"

#include <charconv>
#include <cstdlib>

#include <fmt/format.h>

#include "config/char_class.h"

namespace kelvo {

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
