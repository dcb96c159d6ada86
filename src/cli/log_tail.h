#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace kelvo {

// How much of a log is read at a time, backwards or forwards (64 KiB). The
// guest decides how large its console log grows, so `logs` never holds more
// than a few blocks of it in memory, however long the file or its lines are.
inline constexpr size_t kLogBlock = size_t(1) << 16;

// The offset at which the last `count` lines of the first `end` bytes of fd
// begin: a final line without "\n" counts, a final "\n" does not start an
// empty line (as split_lines counts). 0 when there are no more than `count`
// lines; `end` for a count of 0. Reads backwards, `block` bytes at a time.
std::expected<uint64_t, std::string> tail_start(int fd, uint64_t end, uint64_t count,
                                                size_t block = kLogBlock);

// Receives output text; false stops the copy (nobody reads any more).
using TextSink = std::function<bool(std::string_view)>;

// Renders bytes [from, end) of fd as the lines split_lines(utf8_lossy(...))
// gives, each followed by "\n", and hands the text to sink in pieces of a few
// blocks: a line longer than that is passed on in parts, never held whole.
// Stops early where the file has become shorter. False when sink refused.
std::expected<bool, std::string> copy_lines(int fd, uint64_t from, uint64_t end,
                                            const TextSink& sink, size_t block = kLogBlock);

}  // namespace kelvo
