#pragma once

#include <mutex>
#include <string_view>

namespace kelvo {

// Writes all of text to fd, repeating partial writes and retrying EINTR.
// Returns false on the first error (for example a closed pipe).
bool write_all(int fd, std::string_view text);

// The process-wide standard output lock: every writer of standard output
// takes it around one whole write.
std::mutex& stdout_lock();

// Writes text to standard output under the standard output lock. A failed
// write is reported as false, and its error kept for stdout_write_error.
bool print_stdout(std::string_view text);

// The errno of the first failed write to standard output (0: none failed).
int stdout_write_error();

// Writes text to standard error; failures are ignored.
void print_stderr(std::string_view text);

// The live status line of a command that waits on a terminal
// (common/progress_line.h), on standard output or standard error (fd):
// draw_status_line writes "\r", the text and an erase to the end of the
// line, in place of the line drawn before. While a line is drawn,
// print_stdout and print_stderr erase it ("\r\x1b[K") before they write, so
// a regular line never starts behind it; erase_status_line erases it for
// good.
void draw_status_line(int fd, std::string_view text);
void erase_status_line();

// Puts the null device in place of standard input, output or error when the
// program was started with one of them closed, so that no file it opens
// later takes that number (and receives its output). A closed standard
// output counts as a failed write (EBADF).
void guard_standard_streams();

// The command's exit status once its output is accounted for: output that
// did not arrive (a full disk, a closed descriptor) makes it 1, after
// "kelvo-vmhelper: write standard output: {reason}" on standard error.
int status_after_output(int status);

}  // namespace kelvo
