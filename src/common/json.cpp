#include "common/json.h"

#include "common/text.h"

namespace kelvo {

std::string dump_compact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string dump_pretty(const nlohmann::json& value) {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

// Writing, copying or comparing a value recurses once per level of nesting,
// so a line from a guest nested a hundred thousand levels deep would
// overflow the stack. No message this program reads comes near this depth.
constexpr size_t kMaxDepth = 256;

// True when brackets outside strings nest deeper than kMaxDepth (exact for
// valid JSON; anything else fails to parse either way).
bool nested_too_deep(std::string_view text) {
    size_t depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace

std::optional<nlohmann::json> parse_json_line(std::string_view line) {
    const std::string_view text = trim(line);
    if (text.empty() || nested_too_deep(text)) return std::nullopt;
    nlohmann::json value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

}  // namespace kelvo
