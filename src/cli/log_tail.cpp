#include "cli/log_tail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/os_error.h"
#include "common/text.h"

namespace kelvo {

namespace {

// Reads up to len bytes at offset, fewer only at the end of the file.
std::expected<size_t, std::string> read_at(int fd, char* buffer, size_t len, uint64_t offset) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, buffer + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(last_os_error());
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// How many bytes at the end of an unfinished line must wait for the bytes
// after them before they can be decoded. utf8_lossy never takes a byte that is
// not a continuation byte (ASCII, "\r" included, or a lead byte) into the
// sequence before it, so text split just before such a byte decodes as the
// whole would; and no sequence is longer than 4 bytes, so when none of the
// last 4 bytes is one, everything decodes the same whatever follows.
size_t undecided_tail(std::string_view line) {
    for (size_t back = 1; back <= std::min<size_t>(4, line.size()); ++back)
        if (!is_continuation(line[line.size() - back])) return back;
    return 0;
}

}  // namespace

std::expected<uint64_t, std::string> tail_start(int fd, uint64_t end, uint64_t count,
                                                size_t block) {
    if (count == 0) return end;
    std::string buffer(block, '\0');
    uint64_t found = 0;
    for (uint64_t pos = end; pos > 0;) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(block, pos));
        const uint64_t at = pos - len;
        const auto n = read_at(fd, buffer.data(), len, at);
        if (!n) return std::unexpected(n.error());
        // Truncated meanwhile: nothing is shown, and a follower at end starts
        // over at the new beginning.
        if (*n < len) return end;
        for (size_t i = len; i > 0;) {
            const void* nl = ::memrchr(buffer.data(), '\n', i);
            if (nl == nullptr) break;
            i = static_cast<size_t>(static_cast<const char*>(nl) - buffer.data());
            // The "\n" that ends the file ends its last line, it starts none.
            const uint64_t line_start = at + i + 1;
            if (line_start != end && ++found == count) return line_start;
        }
        pos = at;
    }
    return 0;
}

std::expected<bool, std::string> copy_lines(int fd, uint64_t from, uint64_t end,
                                            const TextSink& sink, size_t block) {
    std::string buffer(block, '\0');
    std::string line;  // bytes of the current line not yet decoded
    std::string out;
    for (uint64_t pos = from; pos < end;) {
        const auto n = read_at(fd, buffer.data(), std::min<uint64_t>(block, end - pos), pos);
        if (!n) return std::unexpected(n.error());
        if (*n == 0) break;
        pos += *n;
        std::string_view data(buffer.data(), *n);
        for (size_t nl; (nl = data.find('\n')) != std::string_view::npos;
             data.remove_prefix(nl + 1)) {
            line.append(data.substr(0, nl));
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out += utf8_lossy(line);
            out += '\n';
            line.clear();
        }
        line.append(data);
        // A long line goes out in parts; the bytes whose decoding (or, for a
        // "\r", whether it is shown) depends on what comes next stay behind.
        if (line.size() > block) {
            const size_t decided = line.size() - undecided_tail(line);
            out += utf8_lossy(std::string_view(line).substr(0, decided));
            line.erase(0, decided);
        }
        if (out.size() >= block) {
            if (!sink(out)) return false;
            out.clear();
        }
    }
    if (!line.empty()) out += utf8_lossy(line) + "\n";
    return out.empty() || sink(out);
}

}  // namespace kelvo
