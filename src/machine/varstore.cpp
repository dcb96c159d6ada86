#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <fmt/format.h>

#include "common/files.h"
#include "common/os_error.h"
#include "common/output.h"
#include "common/unique_fd.h"
#include "machine/varstore.h"

namespace kelvo {

namespace {

constexpr const char* kNotAFile =
    "the source path is neither a regular file nor a symlink to a regular file";

// Copies everything readable from in to out; 0 or the failing errno.
int copy_contents(int in, int out) {
    char buf[64 * 1024];
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        if (!write_all(out, std::string_view(buf, static_cast<size_t>(n)))) return errno;
    }
}

int fchmod_fd(int fd, unsigned mode) {
    return ::fchmod(fd, static_cast<mode_t>(mode));
}

}  // namespace

std::expected<void, std::string> ensure_varstore(const std::string& vars_template,
                                                 const std::string& efi_store_path) {
    return ensure_varstore(vars_template, efi_store_path, fchmod_fd);
}

std::expected<void, std::string> ensure_varstore(const std::string& vars_template,
                                                 const std::string& efi_store_path,
                                                 const SetModeFn& set_mode) {
    // An existing store holds the VM's firmware settings: never touched.
    if (path_exists(efi_store_path)) return {};

    auto copy_error = [&](std::string_view reason) {
        return std::unexpected(
            fmt::format("copy varstore {}→{}: {}", vars_template, efi_store_path, reason));
    };

    // O_NONBLOCK keeps a FIFO template from blocking the open; it is refused
    // below like any other file that is not regular.
    UniqueFd in(::open(vars_template.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0) return copy_error(last_os_error());
    struct stat st;
    if (::fstat(in.get(), &st) != 0) return copy_error(last_os_error());
    if (!S_ISREG(st.st_mode)) return copy_error(kNotAFile);

    // O_EXCL: the file removed on failure below is always one made here, and
    // a store that appeared meanwhile is not overwritten.
    UniqueFd out(::open(efi_store_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.get() < 0) return copy_error(last_os_error());

    // A half-written or wrongly-moded store would be accepted as it is by the
    // next call, so a failure after the create removes the file again.
    auto discard = [&] {
        out.close();
        ::unlink(efi_store_path.c_str());
    };

    if (int err = copy_contents(in.get(), out.get()); err != 0) {
        discard();
        return copy_error(os_error(err));
    }
    if (set_mode(out.get(), 0644) != 0) {
        std::string reason = last_os_error();
        discard();
        return std::unexpected(fmt::format("chmod varstore {}: {}", efi_store_path, reason));
    }
    if (out.close() != 0) {
        std::string reason = last_os_error();
        ::unlink(efi_store_path.c_str());
        return copy_error(reason);
    }
    return {};
}

}  // namespace kelvo
