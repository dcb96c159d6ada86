#include "cli/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/os_error.h"

namespace kelvo {

namespace {

// Empties the directory open as dir_fd (which it takes over and closes),
// removing the entry named `last` (if any) after all the others.
std::expected<void, std::string> empty_directory(int dir_fd, std::string_view last = {}) {
    DIR* dir = ::fdopendir(dir_fd);
    if (dir == nullptr) {
        std::string reason = last_os_error();
        ::close(dir_fd);
        return std::unexpected(reason);
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    std::expected<void, std::string> result;
    if (errno != 0) result = std::unexpected(last_os_error());
    std::stable_partition(names.begin(), names.end(),
                          [last](const std::string& name) { return name != last; });
    for (const std::string& name : names) {
        if (!result) break;
        if (::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR && errno != EPERM) {
            result = std::unexpected(last_os_error());
            break;
        }
        // A directory: open it without following a link that replaced it.
        const int child =
            ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            result = std::unexpected(last_os_error());
            break;
        }
        result = empty_directory(child);
        if (result && ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            result = std::unexpected(last_os_error());
    }
    ::closedir(dir);
    return result;
}

}  // namespace

std::expected<void, std::string> remove_tree(const std::filesystem::path& path,
                                             std::string_view last) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(last_os_error());
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0) return std::unexpected(last_os_error());
        return {};
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::unexpected(last_os_error());
    if (auto emptied = empty_directory(fd, last); !emptied) return emptied;
    if (::rmdir(path.c_str()) != 0) return std::unexpected(last_os_error());
    return {};
}

}  // namespace kelvo
