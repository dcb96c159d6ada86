#include "common/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "common/output.h"
#include "common/text.h"

namespace kelvo {

namespace {

constexpr size_t kDefaultColumns = 80;

bool in_range(unsigned char c, unsigned char lo, unsigned char hi) {
    return c >= lo && c <= hi;
}

// Skips the escape sequence that starts at text[at] (an ESC): a control
// sequence (ESC [ parameters intermediates final), a string (ESC ] , P, X, ^
// or _, up to BEL or ESC \), or ESC, intermediates and a final byte. Returns
// where the text goes on, and whether the sequence puts the cursor
// elsewhere (a position, a cleared screen, a reset), which ends a line.
size_t skip_escape(std::string_view text, size_t at, bool& ends_line) {
    ends_line = false;
    size_t i = at + 1;
    if (i >= text.size()) return i;
    const auto kind = static_cast<unsigned char>(text[i++]);
    if (kind == '[') {
        while (i < text.size() && in_range(static_cast<unsigned char>(text[i]), 0x30, 0x3f)) ++i;
        while (i < text.size() && in_range(static_cast<unsigned char>(text[i]), 0x20, 0x2f)) ++i;
        if (i >= text.size()) return i;
        const char final_byte = text[i];
        ends_line = final_byte == 'H' || final_byte == 'f' || final_byte == 'J';
        return i + 1;
    }
    if (std::strchr("]PX^_", kind) != nullptr) {
        for (; i < text.size(); ++i) {
            if (text[i] == '\a') return i + 1;
            if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '\\') return i + 2;
        }
        return i;
    }
    i = at + 1;
    while (i < text.size() && in_range(static_cast<unsigned char>(text[i]), 0x20, 0x2f)) ++i;
    if (i >= text.size()) return i;
    ends_line = text[i] == 'c';
    return i + 1;
}

// The lines a terminal would show of text: invalid UTF-8 replaced, escape
// sequences and control characters (C0, DEL and C1) dropped, a tab shown as
// a blank.
std::vector<std::string> visible_lines(std::string_view bytes) {
    const std::string text = utf8_lossy(bytes);
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0x1b) {
            bool ends_line = false;
            i = skip_escape(text, i, ends_line);
            if (ends_line) lines.emplace_back();
        } else if (c == '\n' || c == '\r') {
            lines.emplace_back();
            ++i;
        } else if (c == '\t') {
            lines.back() += ' ';
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            ++i;
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) < 0xa0) {
            i += 2;  // U+0080 to U+009F
        } else {
            lines.back() += text[i++];
        }
    }
    return lines;
}

// The character that starts at text[at] (well-formed UTF-8), and its length.
char32_t decode_character(std::string_view text, size_t at, size_t& length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    length = std::min(length, text.size() - at);
    char32_t c = length == 1 ? lead : lead & (0x7f >> length);
    for (size_t i = 1; i < length; ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3f);
    return c;
}

// The columns a character takes on a terminal: two for the wide East Asian
// scripts and the emoji, one for the rest.
size_t character_columns(char32_t c) {
    static constexpr std::pair<char32_t, char32_t> kWide[] = {
        {0x1100, 0x115f},   {0x2e80, 0x303e},   {0x3041, 0x33ff}, {0x3400, 0x4dbf},
        {0x4e00, 0x9fff},   {0xa000, 0xa4cf},   {0xac00, 0xd7a3}, {0xf900, 0xfaff},
        {0xfe30, 0xfe4f},   {0xff00, 0xff60},   {0xffe0, 0xffe6}, {0x1f300, 0x1f64f},
        {0x1f900, 0x1f9ff}, {0x20000, 0x3fffd},
    };
    for (const auto& [first, last] : kWide)
        if (c >= first && c <= last) return 2;
    return 1;
}

}  // namespace

ProgressLine::ProgressLine(int fd)
    : fd_(fd),
      active_(status_line_wanted(::isatty(fd) == 1, std::getenv("TERM"))),
      started_(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() {
    if (active_) erase_status_line();
}

void ProgressLine::show(std::string_view text) {
    if (active_) draw_status_line(fd_, fit_to_row(text, terminal_columns(fd_)));
}

std::chrono::steady_clock::duration ProgressLine::elapsed() const {
    return std::chrono::steady_clock::now() - started_;
}

bool status_line_wanted(bool is_terminal, const char* term) {
    return is_terminal && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
}

size_t terminal_columns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kDefaultColumns;
    return size.ws_col;
}

std::string fit_to_row(std::string_view text, size_t columns) {
    std::string row;
    for (const std::string& line : visible_lines(text)) {
        if (!row.empty() && !line.empty()) row += ' ';
        row += line;
    }
    // The last column stays free: a row that fills it wraps on some terminals.
    const size_t room = columns > 1 ? columns - 1 : 1;
    size_t used = 0;
    size_t fits = 0;  // bytes of the characters that fit before an ellipsis
    for (size_t at = 0, length = 0; at < row.size(); at += length) {
        const size_t width = character_columns(decode_character(row, at, length));
        if (used + width > room) {
            row.resize(fits);
            return row + "…";
        }
        used += width;
        if (used < room) fits = at + length;
    }
    return row;
}

std::string last_console_line(std::string_view output) {
    const auto lines = visible_lines(output);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        const std::string_view shown = trim(*line);
        if (!shown.empty()) return std::string(shown);
    }
    return {};
}

std::string format_seconds(std::chrono::steady_clock::duration elapsed) {
    return fmt::format("{} s", std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

std::string format_transfer(uint64_t bytes, std::chrono::steady_clock::duration elapsed) {
    const double mib = static_cast<double>(bytes) / (1 << 20);
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds < 0.1) return fmt::format("{} MiB", bytes >> 20);
    return fmt::format("{} MiB, {:.1f} MiB/s", bytes >> 20, mib / seconds);
}

}  // namespace kelvo
