#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// Number of characters in UTF-8 text.
size_t char_count(std::string_view text);

// Lays out rows (the first one is the header) as left-aligned columns
// separated by two blanks. A column is as wide as the byte length of its
// longest cell, and each cell is filled with blanks up to that many
// characters, so a column with multi-byte characters comes out wider; cells
// are never cut. Trailing white space is removed from every line.
std::string format_table(const std::vector<std::vector<std::string>>& rows);

}  // namespace kelvo
