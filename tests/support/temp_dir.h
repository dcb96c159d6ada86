#pragma once

// A private temporary directory for a test, and small file helpers.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

#include <gtest/gtest.h>

namespace kelvo::test_support {

// Writes `content` to `path` (mode 0644 before the umask), creating the
// directories above it.
inline void write_file(const std::filesystem::path& path, std::string_view content) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()))
        << path;
    ::close(fd);
}

inline void append_file(const std::filesystem::path& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << content;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool file_exists(const std::filesystem::path& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// The permission bits of `path`, 0 when it cannot be examined.
inline unsigned file_mode(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// A fresh directory under the temporary directory, removed with everything
// in it (links are removed, never followed) at the end of its scope. Its path
// is empty when it could not be made.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kelvo-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }
    // The path of `name` inside the directory.
    std::string file(const std::string& name) const { return path_.string() + "/" + name; }
    // Writes `content` to `name` inside the directory; returns its path.
    std::string write(const std::string& name, std::string_view content) const {
        std::string full = file(name);
        write_file(full, content);
        return full;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace kelvo::test_support
