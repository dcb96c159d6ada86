#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kelvo {

// The whole content of a regular file (links followed) when it can be read
// and is UTF-8 text. A FIFO or device is refused without reading it, so a
// stray named pipe in the store never blocks a command.
std::optional<std::string> read_text_file(const std::filesystem::path& path);

}  // namespace kelvo
