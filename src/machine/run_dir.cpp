#include <optional>

#include "machine/qemu_args.h"

namespace kelvo {

namespace {

// Drops trailing "/" and "/." runs, the way a path's components ignore them:
// "a/b/" and "a/b/." both end in the component "b". A leading "/" stays.
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

// The lexical parent of a path: nothing for "" and "/", "" for a bare name
// ("disk.qcow2"), otherwise everything before the last component.
std::optional<std::string_view> parent_of(std::string_view path) {
    path = drop_trailing_separators(path);
    if (path.empty() || path == "/") return std::nullopt;
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string_view{};
    if (slash == 0) return path.substr(0, 1);
    return drop_trailing_separators(path.substr(0, slash));
}

}  // namespace

std::string vm_run_dir(const HelperConfig& config) {
    auto parent = parent_of(config.disk_path);
    return parent ? std::string(*parent) : std::string(".");
}

std::string run_dir_file(const HelperConfig& config, std::string_view name) {
    std::string dir = vm_run_dir(config);
    // An empty run directory (a bare disk file name) leaves the bare name.
    if (dir.empty()) return std::string(name);
    if (dir.back() != '/') dir += '/';
    dir += name;
    return dir;
}

}  // namespace kelvo
