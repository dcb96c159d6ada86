#include <fcntl.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "common/files.h"
#include "common/output.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "machine/machine_id.h"

namespace kelvo {

namespace {

using IdBytes = std::array<uint8_t, 16>;

// An identifier file is 36 characters and some white space; anything much
// longer is not one. The limit also keeps a device such as /dev/zero from
// being read forever.
constexpr size_t kMaxIdFileSize = 64 * 1024;

// The whole file, or nothing when it cannot be read or is too long to hold an
// identifier.
std::optional<std::string> read_id_file(const std::string& path) {
    auto text = read_regular_file(path, kMaxIdFileSize + 1);
    if (!text || text->size() > kMaxIdFileSize) return std::nullopt;
    return std::move(*text);
}

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// 8-4-4-4-12 hexadecimal digits, in either case.
bool is_machine_uuid(std::string_view text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_position ? text[i] != '-' : !is_hex_digit(text[i])) return false;
    }
    return true;
}

// Exactly 16 bytes from the random source, or nothing.
std::optional<IdBytes> read_random(const std::string& source) {
    UniqueFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    IdBytes bytes{};
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != bytes.size()) return std::nullopt;
    return bytes;
}

// Without a random source the identifier comes from the path, the same one
// every time for the same path.
IdBytes bytes_from_path(std::string_view path) {
    uint64_t h = 0;
    for (unsigned char b : path) h = h * 31 + b;
    IdBytes bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i ^ (h >> (8 * (i % 8))));
    }
    return bytes;
}

// A lowercase version-4, RFC 4122 variant identifier.
std::string format_uuid(IdBytes bytes) {
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
        if (i == 3 || i == 5 || i == 7 || i == 9) text += '-';
    }
    return text;
}

}  // namespace

std::string load_or_create_machine_id(const std::string& machine_identifier_path,
                                      const std::string& random_source) {
    if (auto text = read_id_file(machine_identifier_path); text && is_valid_utf8(*text)) {
        std::string_view id = trim(*text);
        if (is_machine_uuid(id)) return std::string(id);
    }

    auto bytes = read_random(random_source);
    std::string id = format_uuid(bytes ? *bytes : bytes_from_path(machine_identifier_path));

    // A failed write only means a new identifier next time. O_NONBLOCK: a
    // FIFO without a reader fails the open instead of blocking it.
    UniqueFd fd(::open(machine_identifier_path.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
    if (fd.valid()) (void)write_all(fd.get(), id);
    return id;
}

}  // namespace kelvo
