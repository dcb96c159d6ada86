#include "cli/file_io.h"

#include "common/read_regular_file.h"
#include "common/text.h"

namespace kelvo {

std::optional<std::string> read_text_file(const std::filesystem::path& path) {
    auto bytes = read_regular_file(path.native());
    if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
    return std::move(*bytes);
}

}  // namespace kelvo
