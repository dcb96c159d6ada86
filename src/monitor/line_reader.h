#pragma once

#include <optional>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/error_code.hpp>
#include <asio/local/stream_protocol.hpp>

namespace kelvo {

// Line reading over a Unix stream socket with a caller-owned buffer, so that
// bytes received past a line feed stay for the next read.

// Reads until `buffer` holds a line feed. The bytes stay in `buffer`; each is
// appended only once its read has completed, so a cancelled fill loses
// nothing. Returns the error that ended the reading (asio::error::eof at the
// end of the stream), or no error once a line is complete.
asio::awaitable<asio::error_code> fill_line(asio::local::stream_protocol::socket& socket,
                                            std::string& buffer);

// Removes and returns the first line of `buffer`, line feed included. When
// `at_end` (the stream has ended) the rest of the buffer counts as a last line
// without a line feed. Nothing when no line is available.
std::optional<std::string> take_line(std::string& buffer, bool at_end);

}  // namespace kelvo
