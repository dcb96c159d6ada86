#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// White space as the program trims it: space, \t, \n, \v, \f, \r.
bool is_space(char c);
std::string_view trim(std::string_view text);
std::string_view trim_end(std::string_view text);

// True when bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Text for a terminal: each control byte (below 0x20, and 0x7f) shown as an
// escape ("\n", "\r", "\t", "\x1b"), so that a name from the store cannot
// move the cursor, clear a line or add a row.
std::string escape_control(std::string_view text);

// Splits at "\n", dropping one "\r" before each "\n"; a final line without
// "\n" counts, a final "\n" does not start an empty line.
std::vector<std::string> split_lines(std::string_view text);

// The first whitespace-delimited token, or "" when there is none.
std::string_view first_token(std::string_view text);
// Every whitespace-delimited token, in order.
std::vector<std::string_view> split_fields(std::string_view text);

// Parses an unsigned decimal number (an optional leading "+" is accepted)
// that fits in max; false for anything else.
bool parse_unsigned(std::string_view text, unsigned long long max, unsigned long long& out);

}  // namespace kelvo
