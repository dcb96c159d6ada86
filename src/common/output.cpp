#include "common/output.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

#include <fmt/format.h>

#include "common/os_error.h"

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
int status_line_fd = -1;     // where a status line is drawn; guarded by stdout_lock()

constexpr std::string_view kEraseLine = "\r\x1b[K";

// Erases the drawn status line, under the standard output lock.
void erase_status_line_locked() {
    if (status_line_fd < 0) return;
    (void)write_all(status_line_fd, kEraseLine);
    status_line_fd = -1;
}

}  // namespace

bool print_stdout(std::string_view text) {
    std::lock_guard guard(stdout_lock());
    erase_status_line_locked();
    if (write_all(STDOUT_FILENO, text)) return true;
    if (first_stdout_error == 0) first_stdout_error = errno;
    return false;
}

int stdout_write_error() {
    std::lock_guard guard(stdout_lock());
    return first_stdout_error;
}

void print_stderr(std::string_view text) {
    // A writer blocked on a full standard output must not hold up an error
    // (and no status line is drawn where several threads write).
    std::unique_lock guard(stdout_lock(), std::try_to_lock);
    if (guard.owns_lock()) erase_status_line_locked();
    (void)write_all(STDERR_FILENO, text);
}

void draw_status_line(int fd, std::string_view text) {
    std::lock_guard guard(stdout_lock());
    if (status_line_fd >= 0 && status_line_fd != fd) erase_status_line_locked();
    status_line_fd = fd;
    (void)write_all(fd, fmt::format("\r{}\x1b[K", text));
}

void erase_status_line() {
    std::lock_guard guard(stdout_lock());
    erase_status_line_locked();
}

void guard_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself.
        if (::open("/dev/null", O_RDWR) != fd) continue;
        if (fd == STDOUT_FILENO) {
            std::lock_guard guard(stdout_lock());
            if (first_stdout_error == 0) first_stdout_error = EBADF;
        }
    }
}

int status_after_output(int status) {
    // (Standard output is written unbuffered: there is nothing to flush.)
    if (const int err = stdout_write_error()) {
        print_stderr(fmt::format("kelvo-vmhelper: write standard output: {}\n", os_error(err)));
        return 1;
    }
    return status;
}

}  // namespace kelvo
