#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvo {

// A command's live status line while it waits: what it waits for, for how
// long, how far it has come. It is drawn on a terminal only, in place, never
// wider than one row, redrawn by each show(), erased before the command's
// regular lines (common/output.h) and when it is dropped. On a pipe, a file
// or the app's SSH channel, or with TERM unset or "dumb", it draws nothing,
// so the output stays exactly what it is without it.
class ProgressLine {
  public:
    // On standard output or standard error (fd), as status_line_wanted says.
    explicit ProgressLine(int fd);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool active() const { return active_; }
    // Draws text, made fit for the terminal's width at this moment.
    void show(std::string_view text);
    // Time since the line was made.
    std::chrono::steady_clock::duration elapsed() const;

  private:
    int fd_;
    bool active_;
    std::chrono::steady_clock::time_point started_;
};

// Whether a stream shows a status line: it is a terminal, and TERM (the
// environment's value, or null) is set and not "dumb".
bool status_line_wanted(bool is_terminal, const char* term);

// The columns of the terminal at fd (TIOCGWINSZ); 80 when it does not say.
size_t terminal_columns(int fd);

// text for one row of a terminal `columns` wide: invalid UTF-8 replaced,
// escape sequences and control characters dropped, and cut to columns - 1
// columns (ending in "…" when cut; an East Asian wide character or an emoji
// takes two), so that the row never wraps.
std::string fit_to_row(std::string_view text, size_t columns);

// The last line of a console's output that shows something: lines end at
// "\n", "\r" and at the escape sequences that move the cursor to a place or
// clear the screen; other escape sequences and control characters are
// dropped, and the white space around the line is trimmed. "" when no line
// shows anything.
std::string last_console_line(std::string_view output);

// Whole seconds: "12 s".
std::string format_seconds(std::chrono::steady_clock::duration elapsed);

// An amount and its rate over elapsed: "812 MiB, 153.4 MiB/s" (the rate
// left out before a tenth of a second has passed).
std::string format_transfer(uint64_t bytes, std::chrono::steady_clock::duration elapsed);

}  // namespace kelvo
