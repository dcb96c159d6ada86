// Maps the JSON text of a helper.json onto HelperConfig. Fields are converted
// as their keys are met, so the first problem in file order wins; missing
// required fields are checked last, in declaration order.
#include <array>
#include <cstdint>

#include <fmt/format.h>

#include "common/text.h"
#include "config/helper_config.h"
#include "config/json_cursor.h"

namespace kelvo {

namespace {

constexpr std::string_view kStructName = "struct HelperConfig";
constexpr std::string_view kNotUtf8 = "stream did not contain valid UTF-8";

enum class FieldType { Text, U32, U16, Bool, OptionalText };

struct FieldSpec {
    std::string_view key;
    FieldType type;
    bool required;
};

// Declaration order: the order of the missing-field checks and of the array form.
constexpr std::array<FieldSpec, 14> kFields = {{
    {"disk_path", FieldType::Text, true},
    {"seed_path", FieldType::Text, true},
    {"efi_store_path", FieldType::Text, true},
    {"machine_identifier_path", FieldType::Text, true},
    {"console_log_path", FieldType::Text, true},
    {"save_path", FieldType::Text, true},
    {"mac_address", FieldType::Text, true},
    {"cpu_count", FieldType::U32, true},
    {"memory_mib", FieldType::U32, true},
    {"disk_gib", FieldType::U32, false},
    {"isolated", FieldType::Bool, true},
    {"ssh_host_port", FieldType::U16, false},
    {"firmware_path", FieldType::OptionalText, false},
    {"vm_name", FieldType::Text, false},
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

JsonResult<std::string> read_text(JsonCursor& in) {
    const auto c = in.skip_whitespace();
    if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
    if (*c != '"') return std::unexpected(in.invalid_type("a string"));
    in.advance();
    return in.read_string();
}

JsonResult<std::optional<std::string>> read_optional_text(JsonCursor& in) {
    if (in.skip_whitespace() == 'n') {
        in.advance();
        if (auto r = in.expect_literal("ull"); !r) return std::unexpected(r.error());
        return std::nullopt;
    }
    return read_text(in);
}

JsonResult<uint64_t> read_unsigned(JsonCursor& in, uint64_t max, std::string_view name) {
    const auto c = in.skip_whitespace();
    if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
    if (*c != '-' && !(*c >= '0' && *c <= '9')) return std::unexpected(in.invalid_type(name));
    const auto n = in.read_number();
    if (!n) return std::unexpected(n.error());
    if (n->kind == JsonNumber::Kind::Unsigned && n->unsigned_value <= max) {
        return n->unsigned_value;
    }
    const std::string_view problem =
        n->kind == JsonNumber::Kind::Float ? "invalid type" : "invalid value";
    return std::unexpected(JsonError{
        fmt::format("{}: {}, expected {}", problem, describe_number(*n), name), in.offset()});
}

JsonResult<bool> read_bool(JsonCursor& in) {
    const auto c = in.skip_whitespace();
    if (!c) return std::unexpected(in.peek_error(kEofWhileParsingValue));
    if (*c != 't' && *c != 'f') return std::unexpected(in.invalid_type("a boolean"));
    in.advance();
    if (auto r = in.expect_literal(*c == 't' ? "rue" : "alse"); !r) {
        return std::unexpected(r.error());
    }
    return *c == 't';
}

std::string* text_field(HelperConfig& config, size_t index) {
    switch (index) {
        case 0:
            return &config.disk_path;
        case 1:
            return &config.seed_path;
        case 2:
            return &config.efi_store_path;
        case 3:
            return &config.machine_identifier_path;
        case 4:
            return &config.console_log_path;
        case 5:
            return &config.save_path;
        case 6:
            return &config.mac_address;
        case 13:
            return &config.vm_name;
        default:
            return nullptr;
    }
}

uint32_t* u32_field(HelperConfig& config, size_t index) {
    switch (index) {
        case 7:
            return &config.cpu_count;
        case 8:
            return &config.memory_mib;
        case 9:
            return &config.disk_gib;
        default:
            return nullptr;
    }
}

// Reads the value of field `index` into config.
JsonResult<void> read_field(JsonCursor& in, size_t index, HelperConfig& config) {
    switch (kFields[index].type) {
        case FieldType::Text: {
            auto v = read_text(in);
            if (!v) return std::unexpected(v.error());
            *text_field(config, index) = std::move(*v);
            return {};
        }
        case FieldType::U32: {
            auto v = read_unsigned(in, UINT32_MAX, "u32");
            if (!v) return std::unexpected(v.error());
            *u32_field(config, index) = static_cast<uint32_t>(*v);
            return {};
        }
        case FieldType::U16: {
            auto v = read_unsigned(in, UINT16_MAX, "u16");
            if (!v) return std::unexpected(v.error());
            config.ssh_host_port = static_cast<uint16_t>(*v);
            return {};
        }
        case FieldType::Bool: {
            auto v = read_bool(in);
            if (!v) return std::unexpected(v.error());
            config.isolated = *v;
            return {};
        }
        case FieldType::OptionalText: {
            auto v = read_optional_text(in);
            if (!v) return std::unexpected(v.error());
            config.firmware_path = std::move(*v);
            return {};
        }
    }
    return {};
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

}  // namespace

std::expected<HelperConfig, std::string> parse_helper_config(std::string_view text) {
    if (!is_valid_utf8(text)) return std::unexpected(std::string(kNotUtf8));
    JsonCursor in(text);
    auto config = read_config(in);
    if (!config) return std::unexpected(format_json_error(text, config.error()));
    return std::move(*config);
}

}  // namespace kelvo
