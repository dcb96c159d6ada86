// Maps the JSON text of a helper.json onto HelperConfig. Fields are converted
// as their keys are met, so the first problem in file order wins; missing
// required fields are checked last, in declaration order.
#include "config/helper_config.h"

#include <array>
#include <cstdint>
#include <limits>
#include <variant>

#include <fmt/format.h>

#include "common/files.h"
#include "common/text.h"
#include "config/json_cursor.h"

namespace kelvo {

namespace {

constexpr std::string_view kStructName = "struct HelperConfig";
constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

// Where a field's value goes; its type decides how the value is read.
using FieldTarget =
    std::variant<std::string HelperConfig::*, uint32_t HelperConfig::*, uint16_t HelperConfig::*,
                 bool HelperConfig::*, std::optional<std::string> HelperConfig::*>;

struct FieldSpec {
    std::string_view key;
    FieldTarget target;
    bool required;
};

// Declaration order: the order of the missing-field checks and of the array form.
constexpr std::array<FieldSpec, 14> kFields = {{
    {"disk_path", &HelperConfig::disk_path, true},
    {"seed_path", &HelperConfig::seed_path, true},
    {"efi_store_path", &HelperConfig::efi_store_path, true},
    {"machine_identifier_path", &HelperConfig::machine_identifier_path, true},
    {"console_log_path", &HelperConfig::console_log_path, true},
    {"save_path", &HelperConfig::save_path, true},
    {"mac_address", &HelperConfig::mac_address, true},
    {"cpu_count", &HelperConfig::cpu_count, true},
    {"memory_mib", &HelperConfig::memory_mib, true},
    {"disk_gib", &HelperConfig::disk_gib, false},
    {"isolated", &HelperConfig::isolated, true},
    {"ssh_host_port", &HelperConfig::ssh_host_port, false},
    {"firmware_path", &HelperConfig::firmware_path, false},
    {"vm_name", &HelperConfig::vm_name, false},
}};

std::optional<size_t> field_index(std::string_view key) {
    for (size_t i = 0; i < kFields.size(); ++i) {
        if (kFields[i].key == key) return i;
    }
    return std::nullopt;
}

// A failure not tied to a byte yet; it is placed once the object is closed.
JsonError unplaced(std::string message) {
    return JsonError{std::move(message), std::nullopt};
}

JsonResult<void> read_value(JsonCursor& in, std::string& out) {
    const auto c = in.skip_whitespace();
    if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
    if (*c != '"') return std::unexpected(in.invalid_type("a string"));
    in.advance();
    auto v = in.read_string();
    if (!v) return std::unexpected(v.error());
    out = std::move(*v);
    return {};
}

JsonResult<void> read_value(JsonCursor& in, std::optional<std::string>& out) {
    if (in.skip_whitespace() == 'n') {
        in.advance();
        out.reset();
        return in.expect_literal("ull");
    }
    return read_value(in, out.emplace());
}

template <class T>
JsonResult<void> read_unsigned(JsonCursor& in, T& out, std::string_view name) {
    const auto c = in.skip_whitespace();
    if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
    if (*c != '-' && !(*c >= '0' && *c <= '9')) return std::unexpected(in.invalid_type(name));
    const auto n = in.read_number();
    if (!n) return std::unexpected(n.error());
    if (n->kind == JsonNumber::Kind::Unsigned &&
        n->unsigned_value <= std::numeric_limits<T>::max()) {
        out = static_cast<T>(n->unsigned_value);
        return {};
    }
    const std::string_view problem =
        n->kind == JsonNumber::Kind::Float ? "invalid type" : "invalid value";
    return std::unexpected(JsonError{
        fmt::format("{}: {}, expected {}", problem, describe_number(*n), name), in.offset()});
}

JsonResult<void> read_value(JsonCursor& in, uint32_t& out) {
    return read_unsigned(in, out, "u32");
}

JsonResult<void> read_value(JsonCursor& in, uint16_t& out) {
    return read_unsigned(in, out, "u16");
}

JsonResult<void> read_value(JsonCursor& in, bool& out) {
    const auto c = in.skip_whitespace();
    if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
    if (*c != 't' && *c != 'f') return std::unexpected(in.invalid_type("a boolean"));
    in.advance();
    out = *c == 't';
    return in.expect_literal(out ? "rue" : "alse");
}

// Reads the value of field `index` into config.
JsonResult<void> read_field(JsonCursor& in, size_t index, HelperConfig& config) {
    return std::visit([&](auto member) { return read_value(in, config.*member); },
                      kFields[index].target);
}

// The members of an object whose "{" is consumed, up to (not past) its "}".
JsonResult<HelperConfig> read_members(JsonCursor& in) {
    HelperConfig config;
    std::array<bool, kFields.size()> seen{};
    for (bool first = true;; first = false) {
        auto c = in.skip_whitespace();
        if (!c) return std::unexpected(in.peek_error(kEofWhileParsingObject));
        if (*c == '}') break;
        if (!first) {
            if (*c != ',') return std::unexpected(in.peek_error(kExpectedObjectCommaOrEnd));
            in.advance();
            c = in.skip_whitespace();
            if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
        }
        if (*c == '}') return std::unexpected(in.peek_error(kTrailingComma));
        if (*c != '"') return std::unexpected(in.peek_error(kKeyMustBeString));
        in.advance();
        const auto key = in.read_string();
        if (!key) return std::unexpected(key.error());

        const auto index = field_index(*key);
        if (!index) {
            // Keys of the app's own are skipped whatever their value.
            if (auto r = in.expect_colon(); !r) return std::unexpected(r.error());
            if (auto r = in.skip_value(); !r) return std::unexpected(r.error());
            continue;
        }
        if (seen[*index])
            return std::unexpected(unplaced(fmt::format("duplicate field `{}`", *key)));
        seen[*index] = true;
        if (auto r = in.expect_colon(); !r) return std::unexpected(r.error());
        if (auto r = read_field(in, *index, config); !r) return std::unexpected(r.error());
    }
    for (size_t i = 0; i < kFields.size(); ++i) {
        if (kFields[i].required && !seen[i]) {
            return std::unexpected(unplaced(fmt::format("missing field `{}`", kFields[i].key)));
        }
    }
    return config;
}

// The elements of an array whose "[" is consumed, in declaration order; an
// optional field keeps its default when the array has ended before it.
JsonResult<HelperConfig> read_elements(JsonCursor& in) {
    HelperConfig config;
    bool first = true;
    for (size_t i = 0; i < kFields.size(); ++i) {
        auto c = in.skip_whitespace();
        if (!c) return std::unexpected(in.peek_error(kEofWhileParsingList));
        if (*c == ']') {
            if (!kFields[i].required) continue;
            return std::unexpected(
                unplaced(fmt::format("invalid length {}, expected {} with {} elements", i,
                                     kStructName, kFields.size())));
        }
        if (first) {
            first = false;
        } else {
            if (*c != ',') return std::unexpected(in.peek_error(kExpectedListCommaOrEnd));
            in.advance();
            c = in.skip_whitespace();
            if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
            if (*c == ']') return std::unexpected(in.peek_error(kTrailingComma));
        }
        if (auto r = read_field(in, i, config); !r) return std::unexpected(r.error());
    }
    return config;
}

// The closing bracket of the object or array.
JsonResult<void> expect_close(JsonCursor& in, char close) {
    const auto c = in.skip_whitespace();
    if (!c) {
        return std::unexpected(
            in.peek_error(close == '}' ? kEofWhileParsingObject : kEofWhileParsingList));
    }
    if (*c == close) {
        in.advance();
        return {};
    }
    if (*c == ',') {
        if (close == '}') return std::unexpected(in.peek_error(kTrailingComma));
        in.advance();
        const auto next = in.skip_whitespace();
        return std::unexpected(in.peek_error(next == ']' ? kTrailingComma : kTrailingCharacters));
    }
    return std::unexpected(in.peek_error(kTrailingCharacters));
}

JsonResult<HelperConfig> read_config(JsonCursor& in) {
    const auto c = in.skip_whitespace();
    if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
    if (*c != '{' && *c != '[') return std::unexpected(in.invalid_type(kStructName));
    in.advance();
    const char close = *c == '{' ? '}' : ']';
    auto config = close == '}' ? read_members(in) : read_elements(in);
    // The closing bracket is read even after a failure, which places a
    // missing field at the "}".
    const auto closed = expect_close(in, close);
    if (!config) {
        JsonError error = std::move(config.error());
        if (!error.offset) error.offset = in.offset();
        return std::unexpected(std::move(error));
    }
    if (!closed) return std::unexpected(closed.error());
    if (in.skip_whitespace()) return std::unexpected(in.peek_error(kTrailingCharacters));
    return config;
}

// Text known to be UTF-8.
std::expected<HelperConfig, std::string> parse_utf8(std::string_view text) {
    JsonCursor in(text);
    auto config = read_config(in);
    if (!config) return std::unexpected(format_json_error(text, config.error()));
    return std::move(*config);
}

}  // namespace

std::expected<HelperConfig, std::string> parse_helper_config(std::string_view text) {
    if (!is_valid_utf8(text)) return std::unexpected(std::string(kNotUtf8));
    return parse_utf8(text);
}

std::expected<HelperConfig, std::string> load_helper_config(const std::string& path) {
    const auto text = read_regular_file(path);
    if (!text) return std::unexpected(fmt::format("read config {}: {}", path, text.error()));
    // Text that is not UTF-8 cannot be read as text at all.
    if (!is_valid_utf8(*text)) {
        return std::unexpected(fmt::format("read config {}: {}", path, kNotUtf8));
    }
    auto config = parse_utf8(*text);
    if (!config) return std::unexpected("parse config: " + config.error());
    return config;
}

}  // namespace kelvo
