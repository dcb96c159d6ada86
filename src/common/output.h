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
// write (reader gone) is reported as false and otherwise ignored.
bool print_stdout(std::string_view text);

// Writes text to standard error; failures are ignored.
void print_stderr(std::string_view text);

}  // namespace kelvo
