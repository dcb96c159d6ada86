#include "cli/text_table.h"

#include <algorithm>

#include "common/text.h"

namespace kelvo {

size_t char_count(std::string_view text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string format_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            if (c > 0) line += "  ";
            line += row[c];
            const size_t chars = char_count(row[c]);
            if (chars < widths[c]) line.append(widths[c] - chars, ' ');
        }
        out += trim_end(line);
        out += '\n';
    }
    return out;
}

}  // namespace kelvo
