#include <fmt/format.h>

#include "common/read_regular_file.h"
#include "common/text.h"
#include "config/helper_config.h"

namespace kelvo {

std::expected<HelperConfig, std::string> load_helper_config(const std::string& path) {
    const auto text = read_regular_file(path);
    if (!text) return std::unexpected(fmt::format("read config {}: {}", path, text.error()));
    // Text that is not UTF-8 cannot be read as text at all.
    if (!is_valid_utf8(*text)) {
        return std::unexpected(
            fmt::format("read config {}: stream did not contain valid UTF-8", path));
    }
    auto config = parse_helper_config(*text);
    if (!config) return std::unexpected("parse config: " + config.error());
    return config;
}

}  // namespace kelvo
