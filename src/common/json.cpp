#include "common/json.h"

#include "common/text.h"

namespace kelvo {

std::string dump_compact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string dump_pretty(const nlohmann::json& value) {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<nlohmann::json> parse_json_line(std::string_view line) {
    const std::string_view text = trim(line);
    if (text.empty()) return std::nullopt;
    nlohmann::json value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

}  // namespace kelvo
