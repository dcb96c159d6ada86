// Standard-input commands of an attached supervisor: the input fed to
// CommandLines in chunks of sizes taken from the input yields the same
// requests as parsing its lines one by one, then InputClosed.
//
// Input: one byte, the number of chunk sizes n (0-7); n bytes of chunk sizes
// (0-255 each, used in turn; a zero-length chunk is fed as well, and 4096
// follows when all are zero); the rest is the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>

#include "check.h"
#include "supervisor/control_requests.h"
#include "supervisor/signals_and_stdin.h"

namespace {

// The requests of the lines of input, parsed one by one: lines end at "\n",
// one "\r" before it is dropped, a last line without "\n" counts.
std::vector<kelvo::ControlRequest> expected_requests(std::string_view input) {
    std::vector<kelvo::ControlRequest> requests;
    while (!input.empty()) {
        const size_t nl = input.find('\n');
        std::string_view line = input.substr(0, nl);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (auto request = kelvo::parse_control_command(line)) requests.push_back(*request);
        if (nl == std::string_view::npos) break;
        input.remove_prefix(nl + 1);
    }
    requests.push_back(kelvo::ControlRequest::InputClosed);
    return requests;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static asio::io_context context;
    if (size == 0) return 0;
    const size_t count = data[0] % 8;
    if (size < 1 + count) return 0;
    std::vector<size_t> chunks(data + 1, data + 1 + count);
    if (std::count(chunks.begin(), chunks.end(), 0) == static_cast<long>(chunks.size()))
        chunks.push_back(4096);
    const std::string_view input(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);

    kelvo::ControlChannel channel(context.get_executor());
    kelvo::CommandLines lines(channel);
    size_t offset = 0;
    for (size_t c = 0; offset < input.size(); ++c) {
        const size_t n = std::min(chunks[c % chunks.size()], input.size() - offset);
        lines.feed(input.substr(offset, n));
        offset += n;
    }
    lines.finish();

    std::vector<kelvo::ControlRequest> received;
    while (std::optional<kelvo::ControlRequest> request = channel.try_receive())
        received.push_back(*request);
    // Input is never longer than the 1 MiB line limit here, so nothing is
    // dropped.
    FUZZ_CHECK(received == expected_requests(input));
    channel.close();
    return 0;
}
