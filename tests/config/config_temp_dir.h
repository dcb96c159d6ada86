#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace kelvo::config_test {

// A private temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string templ =
            (std::filesystem::temp_directory_path() / "kelvo-config-XXXXXX").string();
        if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace kelvo::config_test
