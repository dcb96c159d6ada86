#include "provision/paths.h"

namespace kelvo {

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out(dir);
    if (!out.empty() && out.back() != '/') out += '/';
    out += name;
    return out;
}

std::optional<std::string> parent_dir(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (path.empty()) return std::nullopt;
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    std::string_view dir = path.substr(0, slash);
    while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
    if (dir.empty()) return std::string("/");
    return std::string(dir);
}

}  // namespace kelvo
