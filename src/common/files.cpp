#include "common/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/os_error.h"
#include "common/paths.h"

namespace kelvo {

namespace {

constexpr std::string_view kNulInName = "file name contained an unexpected NUL byte";

std::expected<void, std::string> sync_path(const std::string& path, int flags) {
    // O_NONBLOCK: a FIFO put in the file's place is never waited on.
    UniqueFd fd(::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return std::unexpected("open " + path + ": " + last_os_error());
    if (::fsync(fd.get()) != 0) return std::unexpected("fsync " + path + ": " + last_os_error());
    return {};
}

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

bool path_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<uint64_t> file_size(const std::string& path) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

std::expected<void, std::string> create_dir_all(const std::string& dir) {
    if (dir.empty()) return {};
    if (::mkdir(dir.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err == ENOENT) {
        if (auto parent = parent_dir(dir); parent && !parent->empty() && *parent != dir) {
            if (auto made = create_dir_all(*parent); !made) return made;
            if (::mkdir(dir.c_str(), 0777) == 0) return {};
            err = errno;
        }
    }
    if (is_directory(dir)) return {};
    return std::unexpected(os_error(err));
}

std::expected<RegularFile, std::string> open_regular_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::unexpected(std::string(kNulInName));
    // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return std::unexpected(last_os_error());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(last_os_error());
    if (S_ISDIR(st.st_mode)) return std::unexpected(os_error(EISDIR));
    if (!S_ISREG(st.st_mode)) return std::unexpected(std::string(kNotRegularFile));
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) +
            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    return RegularFile{std::move(fd), static_cast<uint64_t>(st.st_size), modified};
}

std::expected<std::string, std::string> read_regular_file(const std::string& path,
                                                          std::optional<size_t> max_bytes) {
    auto file = open_regular_file(path);
    if (!file) return std::unexpected(std::move(file.error()));
    const size_t limit = max_bytes.value_or(SIZE_MAX);
    std::string data;
    // The size is a hint only: the file may grow or shrink while it is read.
    data.reserve(static_cast<size_t>(std::min<uint64_t>(file->size, limit)) + 1);
    char buf[65536];
    while (data.size() < limit) {
        const ssize_t n = ::read(file->fd.get(), buf, std::min(sizeof buf, limit - data.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_os_error());
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

std::expected<FileTail, std::string> read_file_tail(const std::string& path, size_t max_bytes) {
    auto file = open_regular_file(path);
    if (!file) return std::unexpected(std::move(file.error()));
    const uint64_t from = file->size > max_bytes ? file->size - max_bytes : 0;
    FileTail tail{std::string(static_cast<size_t>(file->size - from), '\0'), file->modified};
    size_t got = 0;
    while (got < tail.bytes.size()) {
        const ssize_t n = ::pread(file->fd.get(), tail.bytes.data() + got, tail.bytes.size() - got,
                                  static_cast<off_t>(from + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_os_error());
        }
        if (n == 0) break;  // it has become shorter
        got += static_cast<size_t>(n);
    }
    tail.bytes.resize(got);
    return tail;
}

std::expected<UniqueFd, std::string> open_private_file(const std::string& path, int flags) {
    // O_NONBLOCK: a FIFO put at path fails at once (no reader) instead of
    // waiting for one; it is refused below either way.
    const int open_flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | flags;
    UniqueFd fd(::open(path.c_str(), open_flags, 0600));
    if (!fd.valid() && errno == ELOOP) {
        // A link: written through, it would fill (or truncate) whatever it
        // points at. The link goes; a new file takes its place.
        if (::unlink(path.c_str()) != 0) return std::unexpected(last_os_error());
        fd.reset(::open(path.c_str(), open_flags | O_EXCL, 0600));
    }
    if (!fd.valid()) return std::unexpected(last_os_error());
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(last_os_error());
    if (!S_ISREG(st.st_mode)) return std::unexpected(std::string(kNotRegularFile));
    if ((st.st_mode & 07777) != 0600 && ::fchmod(fd.get(), 0600) != 0)
        return std::unexpected(last_os_error());
    if ((flags & O_NONBLOCK) == 0 &&
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
        return std::unexpected(last_os_error());
    return fd;
}

std::expected<void, std::string> sync_file(const std::string& path) {
    return sync_path(path, 0);
}

std::expected<void, std::string> sync_parent_dir(const std::string& path) {
    const auto dir = parent_dir(path);
    return sync_path(dir && !dir->empty() ? *dir : ".", O_DIRECTORY);
}

std::expected<void, std::string> remove_tree(const std::string& path, std::string_view last) {
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
