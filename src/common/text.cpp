#include "common/text.h"

#include <cstdint>

#include <fmt/format.h>

namespace kelvo {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim_end(std::string_view text) {
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return trim_end(text);
}

namespace {

struct LeadByte {
    size_t length;      // length of the sequence it starts; 0 when it starts none
    uint8_t second_lo;  // allowed range of the second byte
    uint8_t second_hi;
};

LeadByte classify_lead(uint8_t b0) {
    if (b0 < 0x80) return {1, 0, 0};
    if (b0 >= 0xC2 && b0 <= 0xDF) return {2, 0x80, 0xBF};
    if (b0 == 0xE0) return {3, 0xA0, 0xBF};
    if (b0 == 0xED) return {3, 0x80, 0x9F};
    if (b0 >= 0xE1 && b0 <= 0xEF) return {3, 0x80, 0xBF};
    if (b0 == 0xF0) return {4, 0x90, 0xBF};
    if (b0 >= 0xF1 && b0 <= 0xF3) return {4, 0x80, 0xBF};
    if (b0 == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Number of leading bytes that fit the sequence begun by bytes[0] (at least 1).
size_t matching_prefix(std::string_view bytes, const LeadByte& lead) {
    size_t n = 1;
    while (n < lead.length && n < bytes.size()) {
        const auto b = static_cast<uint8_t>(bytes[n]);
        const uint8_t lo = n == 1 ? lead.second_lo : 0x80;
        const uint8_t hi = n == 1 ? lead.second_hi : 0xBF;
        if (b < lo || b > hi) break;
        ++n;
    }
    return n;
}

// Length of the well-formed sequence at the start of bytes, or 0.
size_t utf8_sequence_length(std::string_view bytes) {
    const LeadByte lead = classify_lead(static_cast<uint8_t>(bytes[0]));
    if (lead.length == 0) return 0;
    return matching_prefix(bytes, lead) == lead.length ? lead.length : 0;
}

// An invalid sequence is replaced by one U+FFFD per maximal matching prefix.
size_t invalid_prefix_length(std::string_view bytes) {
    const LeadByte lead = classify_lead(static_cast<uint8_t>(bytes[0]));
    return lead.length == 0 ? 1 : matching_prefix(bytes, lead);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t len = utf8_sequence_length(bytes);
        if (len == 0) return false;
        bytes.remove_prefix(len);
    }
    return true;
}

std::string escape_control(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += fmt::format("\\x{:02x}", byte);
        }
    }
    return out;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const size_t len = utf8_sequence_length(bytes);
        if (len > 0) {
            out.append(bytes.substr(0, len));
            bytes.remove_prefix(len);
        } else {
            out.append("\xEF\xBF\xBD");
            bytes.remove_prefix(invalid_prefix_length(bytes));
        }
    }
    return out;
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (nl != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return lines;
}

std::string_view first_token(std::string_view text) {
    text = trim(text);
    size_t end = 0;
    while (end < text.size() && !is_space(text[end])) ++end;
    return text.substr(0, end);
}

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (std::string_view field = first_token(text); !field.empty(); field = first_token(text)) {
        fields.push_back(field);
        text = text.substr(static_cast<size_t>(field.data() + field.size() - text.data()));
    }
    return fields;
}

bool parse_unsigned(std::string_view text, unsigned long long max, unsigned long long& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

}  // namespace kelvo
