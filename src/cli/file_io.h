#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace kelvo {

// The whole content of a file, or the errno of the failed open or read.
std::expected<std::string, int> read_file_bytes(const std::filesystem::path& path);

// The whole content when it can be read and is UTF-8 text.
std::optional<std::string> read_text_file(const std::filesystem::path& path);

}  // namespace kelvo
