#include "config/helper_config.h"

namespace kelvo {

// Placeholder until the strict reader lands.
std::expected<HelperConfig, std::string> parse_helper_config(std::string_view) {
    return std::unexpected("not implemented");
}

std::expected<HelperConfig, std::string> load_helper_config(const std::string& path) {
    return std::unexpected("read config " + path + ": not implemented");
}

}  // namespace kelvo
