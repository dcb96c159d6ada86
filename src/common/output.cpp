#include "common/output.h"

#include <unistd.h>
#include <cerrno>

namespace kelvo {

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::mutex& stdout_lock() {
    static std::mutex lock;
    return lock;
}

namespace {
int first_stdout_error = 0;  // guarded by stdout_lock()
}  // namespace

bool print_stdout(std::string_view text) {
    std::lock_guard guard(stdout_lock());
    if (write_all(STDOUT_FILENO, text)) return true;
    if (first_stdout_error == 0) first_stdout_error = errno;
    return false;
}

int stdout_write_error() {
    std::lock_guard guard(stdout_lock());
    return first_stdout_error;
}

void print_stderr(std::string_view text) {
    (void)write_all(STDERR_FILENO, text);
}

}  // namespace kelvo
