#pragma once

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// A fresh directory under /tmp, removed with everything in it at scope end.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kelvo-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path_ = made ? made : "";
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes content to name inside the directory; returns the full path.
    std::string write(const std::string& name, const std::string& content) const {
        std::string full = file(name);
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }

  private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline unsigned file_mode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}
