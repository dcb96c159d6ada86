#include "common/paths.h"

#include <cstdlib>

#include "common/text.h"

namespace kelvo {

namespace {

std::string_view drop_trailing_separators(std::string_view path) {
    for (;;) {
        if (path.size() > 1 && path.back() == '/') {
            path.remove_suffix(1);
        } else if (path.size() > 1 && path.ends_with("/.")) {
            path.remove_suffix(path.size() == 2 ? 1 : 2);
        } else {
            return path;
        }
    }
}

}  // namespace

std::expected<std::string, std::string> home_dir() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || !is_valid_utf8(home)) return std::unexpected("HOME not set");
    return std::string(home);
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (!out.empty() && out.back() != '/') out += '/';
    out += name;
    return out;
}

std::optional<std::string> parent_dir(std::string_view path) {
    path = drop_trailing_separators(path);
    if (path.empty() || path == "/") return std::nullopt;
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    if (slash == 0) return std::string("/");
    return std::string(drop_trailing_separators(path.substr(0, slash)));
}

}  // namespace kelvo
