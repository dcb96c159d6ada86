// Number reading of JsonCursor. An integer stays exact while it fits 64 bits;
// anything with a fraction or an exponent, or longer, becomes a double whose
// magnitude must stay finite ("number out of range" otherwise; values too
// small become zero).
#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

#include "config/json_cursor.h"

namespace kelvo {

namespace {

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// True when a * 10 + b would exceed max.
template <class T>
bool overflows(T a, T b, T max) {
    return a >= max / 10 && (a > max / 10 || b > max % 10);
}

int32_t saturating_add(int32_t a, int64_t b) {
    const int64_t sum = static_cast<int64_t>(a) + b;
    if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}

// 1e0 .. 1e308, each correctly rounded.
const std::array<double, 309>& powers_of_ten() {
    static const std::array<double, 309> table = [] {
        std::array<double, 309> t{};
        for (size_t k = 0; k < t.size(); ++k) {
            const std::string text = "1e" + std::to_string(k);
            std::from_chars(text.data(), text.data() + text.size(), t[k]);
        }
        return t;
    }();
    return table;
}

JsonNumber float_number(double value) {
    JsonNumber n;
    n.kind = JsonNumber::Kind::Float;
    n.float_value = value;
    return n;
}

}  // namespace

JsonResult<JsonNumber> JsonCursor::read_number() {
    bool positive = true;
    if (peek_or_null() == '-') {
        ++pos_;
        positive = false;
    }
    if (pos_ >= text_.size()) return std::unexpected(error(kEofWhileParsingValue));
    const auto first = static_cast<unsigned char>(text_[pos_++]);
    if (first == '0') {
        // Only one leading zero.
        if (is_digit(peek_or_null())) return std::unexpected(peek_error(kInvalidNumber));
        return number_tail(positive, 0);
    }
    if (!is_digit(first)) return std::unexpected(error(kInvalidNumber));
    uint64_t significand = first - '0';
    for (;;) {
        const unsigned char c = peek_or_null();
        if (!is_digit(c)) return number_tail(positive, significand);
        const uint64_t digit = c - '0';
        if (overflows<uint64_t>(significand, digit, std::numeric_limits<uint64_t>::max())) {
            auto value = read_long_integer(positive, significand);
            if (!value) return std::unexpected(value.error());
            return float_number(*value);
        }
        ++pos_;
        significand = significand * 10 + digit;
    }
}

JsonResult<JsonNumber> JsonCursor::number_tail(bool positive, uint64_t significand) {
    const unsigned char c = peek_or_null();
    if (c == '.' || c == 'e' || c == 'E') {
        auto value = c == '.' ? read_decimal(positive, significand, 0)
                              : read_exponent(positive, significand, 0);
        if (!value) return std::unexpected(value.error());
        return float_number(*value);
    }
    JsonNumber n;
    if (positive) {
        n.unsigned_value = significand;
        return n;
    }
    // Two's complement negation; "-0" and magnitudes past the signed range
    // become doubles.
    const auto negated = static_cast<int64_t>(0 - significand);
    if (negated >= 0) return float_number(-static_cast<double>(significand));
    n.kind = JsonNumber::Kind::Negative;
    n.negative_value = negated;
    return n;
}

JsonResult<double> JsonCursor::read_decimal(bool positive, uint64_t significand, int32_t exponent) {
    ++pos_;  // '.'
    int64_t fraction_digits = 0;
    for (unsigned char c = peek_or_null(); is_digit(c); c = peek_or_null()) {
        const uint64_t digit = c - '0';
        if (overflows<uint64_t>(significand, digit, std::numeric_limits<uint64_t>::max())) {
            // Further digits cannot change the value any more.
            while (is_digit(peek_or_null())) ++pos_;
            exponent = saturating_add(exponent, -fraction_digits);
            const unsigned char next = peek_or_null();
            if (next == 'e' || next == 'E') return read_exponent(positive, significand, exponent);
            return float_from_parts(positive, significand, exponent);
        }
        ++pos_;
        significand = significand * 10 + digit;
        ++fraction_digits;
    }
    if (fraction_digits == 0) {
        return std::unexpected(
            peek_error(pos_ < text_.size() ? kInvalidNumber : kEofWhileParsingValue));
    }
    exponent = saturating_add(exponent, -fraction_digits);
    const unsigned char next = peek_or_null();
    if (next == 'e' || next == 'E') return read_exponent(positive, significand, exponent);
    return float_from_parts(positive, significand, exponent);
}

JsonResult<double> JsonCursor::read_exponent(bool positive, uint64_t significand,
                                             int32_t exponent) {
    ++pos_;  // 'e' or 'E'
    bool positive_exp = true;
    if (peek_or_null() == '+') {
        ++pos_;
    } else if (peek_or_null() == '-') {
        ++pos_;
        positive_exp = false;
    }
    if (pos_ >= text_.size()) return std::unexpected(error(kEofWhileParsingValue));
    const auto first = static_cast<unsigned char>(text_[pos_++]);
    if (!is_digit(first)) return std::unexpected(error(kInvalidNumber));
    int32_t exp = first - '0';
    for (unsigned char c = peek_or_null(); is_digit(c); c = peek_or_null()) {
        ++pos_;
        const int32_t digit = c - '0';
        if (overflows<int32_t>(exp, digit, std::numeric_limits<int32_t>::max())) {
            // An exponent this large means infinity or zero.
            if (significand != 0 && positive_exp) {
                return std::unexpected(error(kNumberOutOfRange));
            }
            while (is_digit(peek_or_null())) ++pos_;
            return positive ? 0.0 : -0.0;
        }
        exp = exp * 10 + digit;
    }
    return float_from_parts(positive, significand,
                            saturating_add(exponent, positive_exp ? exp : -int64_t{exp}));
}

JsonResult<double> JsonCursor::read_long_integer(bool positive, uint64_t significand) {
    // The digits past the 64-bit significand only scale it.
    int32_t exponent = 0;
    for (;;) {
        const unsigned char c = peek_or_null();
        if (is_digit(c)) {
            ++pos_;
            exponent = saturating_add(exponent, 1);
        } else if (c == '.') {
            return read_decimal(positive, significand, exponent);
        } else if (c == 'e' || c == 'E') {
            return read_exponent(positive, significand, exponent);
        } else {
            return float_from_parts(positive, significand, exponent);
        }
    }
}

JsonResult<double> JsonCursor::float_from_parts(bool positive, uint64_t significand,
                                                int32_t exponent) {
    const auto& pow10 = powers_of_ten();
    double f = static_cast<double>(significand);
    for (;;) {
        const uint64_t magnitude = exponent < 0
                                       ? uint64_t{0} - static_cast<uint64_t>(int64_t{exponent})
                                       : static_cast<uint64_t>(exponent);
        if (magnitude < pow10.size()) {
            if (exponent >= 0) {
                f *= pow10[magnitude];
                if (f == std::numeric_limits<double>::infinity()) {
                    return std::unexpected(error(kNumberOutOfRange));
                }
            } else {
                f /= pow10[magnitude];
            }
            break;
        }
        if (f == 0.0) break;
        if (exponent >= 0) return std::unexpected(error(kNumberOutOfRange));
        f /= 1e308;
        exponent += 308;
    }
    return positive ? f : -f;
}

JsonResult<void> JsonCursor::skip_number() {
    const unsigned char first = pos_ < text_.size() ? text_[pos_++] : 0;
    if (first == '0') {
        if (is_digit(peek_or_null())) return std::unexpected(peek_error(kInvalidNumber));
    } else if (first >= '1' && first <= '9') {
        while (is_digit(peek_or_null())) ++pos_;
    } else {
        return std::unexpected(error(kInvalidNumber));
    }
    const unsigned char c = peek_or_null();
    if (c == '.') return skip_fraction();
    if (c == 'e' || c == 'E') return skip_exponent();
    return {};
}

JsonResult<void> JsonCursor::skip_fraction() {
    ++pos_;  // '.'
    bool any_digit = false;
    while (is_digit(peek_or_null())) {
        ++pos_;
        any_digit = true;
    }
    if (!any_digit) return std::unexpected(peek_error(kInvalidNumber));
    const unsigned char c = peek_or_null();
    if (c == 'e' || c == 'E') return skip_exponent();
    return {};
}

JsonResult<void> JsonCursor::skip_exponent() {
    ++pos_;  // 'e' or 'E'
    const unsigned char sign = peek_or_null();
    if (sign == '+' || sign == '-') ++pos_;
    const unsigned char first = pos_ < text_.size() ? text_[pos_++] : 0;
    if (!is_digit(first)) return std::unexpected(error(kInvalidNumber));
    while (is_digit(peek_or_null())) ++pos_;
    return {};
}

}  // namespace kelvo
