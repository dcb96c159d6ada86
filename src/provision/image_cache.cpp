#include "provision/image_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include <fmt/format.h>

#include "common/files.h"
#include "common/os_error.h"
#include "common/paths.h"
#include "common/progress_line.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "events/events.h"
#include "provision/cache_lock.h"
#include "provision/cancel_signals.h"
#include "provision/tool_runner.h"

namespace kelvo {

namespace {

constexpr std::string_view kReleaseBaseUrl =
    "https://cloud-images.ubuntu.com/releases/questing/release";

constexpr std::string_view kEnsuringLine = "provisioning: ensuring base cloud image";
constexpr std::string_view kVerificationFailed = "downloaded image failed SHA256 verification";
constexpr std::string_view kLockWaitStopped = "wait for the image cache lock stopped";

// The image cache directory, ~/.kelvo/images.
std::expected<std::string, std::string> image_cache_dir() {
    auto home = home_dir();
    if (!home) return std::unexpected(home.error());
    return join_path(join_path(*home, ".kelvo"), "images");
}

// Runs curl to download the image to tmp. On a terminal, standard error
// shows how far it has come (the standard output carries the events).
std::expected<void, std::string> download(const std::string& tmp, Arch arch) {
    ProgressLine progress(STDERR_FILENO);
    const std::string name = image_file_name(arch);
    const auto show = [&] {
        const auto elapsed = progress.elapsed();
        progress.show(fmt::format("downloading {} … {}, {}", name,
                                  format_transfer(file_size(tmp).value_or(0), elapsed),
                                  format_seconds(elapsed)));
    };
    return run_tool("curl", {"-fL", "--retry", "3", "-o", tmp, image_url(arch)}, false,
                    progress.active() ? std::function<void()>(show) : nullptr);
}

// Downloads the image to tmp and checks its digest. A download that fails
// verification is removed; one whose digest cannot be computed stays.
std::expected<void, std::string> download_verified(const std::string& tmp,
                                                   const std::string& expected, Arch arch) {
    if (auto fetched = download(tmp, arch); !fetched)
        return std::unexpected(fmt::format("download image: {}", fetched.error()));
    auto digest = sha256_of_file(tmp);
    if (!digest) return std::unexpected(digest.error());
    if (*digest != expected) {
        (void)::unlink(tmp.c_str());
        return std::unexpected(std::string(kVerificationFailed));
    }
    return {};
}

// Fetches the list, verifies or downloads the image; runs under the cache lock.
std::expected<std::string, std::string> ensure_image_in(const std::string& dir, Arch arch) {
    const std::string name = image_file_name(arch);
    auto list = run_tool_capture("curl", {"-fsSL", checksum_list_url()});
    if (!list) return std::unexpected(fmt::format("fetch SHA256SUMS: {}", list.error()));
    auto expected = find_expected_digest(*list, name);
    if (!expected) return std::unexpected(expected.error());

    const std::string cached = join_path(dir, name);
    // Anything else there is replaced by the download; a directory could not be.
    if (struct stat st; ::lstat(cached.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return std::unexpected(fmt::format("cached image {}: {}", cached, kNotRegularFile));
    if (path_exists(cached)) {
        // A digest that differs or cannot be computed (a FIFO or a device is
        // never read) means: download again. The old file stays until a
        // verified download replaces it.
        auto digest = sha256_of_file(cached);
        if (digest && *digest == *expected) return cached;
        if (!digest && cancel_signal() != 0) return std::unexpected(digest.error());
    }

    emit_log(fmt::format("downloading {}", name));
    const std::string tmp = cached + ".tmp";
    (void)::unlink(tmp.c_str());
    if (auto downloaded = download_verified(tmp, *expected, arch); !downloaded) {
        // A cancelled download leaves no part of the image behind.
        if (cancel_signal() != 0) (void)::unlink(tmp.c_str());
        return std::unexpected(downloaded.error());
    }
    if (::rename(tmp.c_str(), cached.c_str()) != 0) {
        return std::unexpected(fmt::format("finalize image: {}", last_os_error()));
    }
    return cached;
}

}  // namespace

std::string image_file_name(Arch arch) {
    return fmt::format("ubuntu-25.10-server-cloudimg-{}.img", image_arch_word(arch));
}

std::string checksum_list_url() {
    return fmt::format("{}/SHA256SUMS", kReleaseBaseUrl);
}

std::string image_url(Arch arch) {
    return fmt::format("{}/{}", kReleaseBaseUrl, image_file_name(arch));
}

std::expected<std::string, std::string> find_expected_digest(std::string_view checksum_list,
                                                             std::string_view image_name) {
    for (const auto& line : split_lines(checksum_list)) {
        if (line.find(image_name) != std::string::npos) return std::string(first_token(line));
    }
    return std::unexpected(fmt::format("{} not found in SHA256SUMS", image_name));
}

std::expected<std::string, std::string> sha256_of_file(const std::string& path) {
    // Opened here without waiting (a FIFO would hold sha256sum in open() for
    // ever) and hashed from this descriptor only when it is a regular file. A
    // path that cannot be opened is left to sha256sum to report.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (struct stat st; file.valid() && (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        return std::unexpected(fmt::format("{}: {}", path, kNotRegularFile));
    auto output = file.valid() ? run_tool_capture("sha256sum", {"-"}, file.get())
                               : run_tool_capture("sha256sum", {path});
    if (!output) return std::unexpected(output.error());
    const std::string_view token = first_token(*output);
    if (token.empty()) return std::unexpected(std::string("sha256sum produced no output"));
    return std::string(token);
}

std::expected<std::string, std::string> ensure_base_image(Arch arch) {
    emit_log(kEnsuringLine);
    auto dir = image_cache_dir();
    if (!dir) return std::unexpected(dir.error());
    if (auto made = create_dir_all(*dir); !made) {
        return std::unexpected(fmt::format("create images dir: {}", made.error()));
    }
    const CacheLock lock = CacheLock::acquire(*dir);
    if (!lock.held() && cancel_signal() != 0) return std::unexpected(std::string(kLockWaitStopped));
    return ensure_image_in(*dir, arch);
}

}  // namespace kelvo
