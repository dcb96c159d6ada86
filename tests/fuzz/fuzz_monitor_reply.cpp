// QMP and guest-agent replies: the bytes a monitor socket delivers, in reads
// of sizes taken from the input, are split into lines as the clients split
// them and each line is classified as the clients classify it.
//
// Input: one byte, the number of read sizes n (0-7); n bytes of read sizes
// (1-256 each, used in turn); the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "check.h"
#include "common/json.h"
#include "monitor/line_reader.h"
#include "monitor/qmp_client.h"

namespace {

// The compact text of a reply value (as read_reply puts a failure into its
// message) parses back as the same value.
void check_round_trip(const nlohmann::json& value) {
    const auto again = kelvo::parse_json_line(kelvo::dump_compact(value));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == value);
}

void check_line(const std::string& line) {
    const kelvo::ClassifiedLine reply = kelvo::classify_reply_line(line);
    const auto parsed = kelvo::parse_json_line(line);
    switch (reply.kind) {
        case kelvo::ReplyKind::Ignored:
            FUZZ_CHECK(reply.value.is_null());
            FUZZ_CHECK(!parsed || !parsed->is_object() ||
                       (!parsed->contains("error") && !parsed->contains("return") &&
                        !(parsed->contains("event") && parsed->at("event").is_string())));
            break;
        case kelvo::ReplyKind::Event:
            FUZZ_CHECK(parsed && reply.value == *parsed && !parsed->contains("error") &&
                       !parsed->contains("return") && parsed->at("event").is_string());
            break;
        case kelvo::ReplyKind::Error:
            FUZZ_CHECK(parsed && parsed->is_object() && reply.value == parsed->at("error"));
            check_round_trip(reply.value);
            break;
        case kelvo::ReplyKind::Return: {
            FUZZ_CHECK(parsed && parsed->is_object() && !parsed->contains("error") &&
                       reply.value == parsed->at("return"));
            check_round_trip(reply.value);
            const std::string status = kelvo::QmpClient::status_of(reply.value);
            const bool has_status = reply.value.is_object() && reply.value.contains("status") &&
                                    reply.value.at("status").is_string();
            FUZZ_CHECK(status == (has_status ? reply.value.at("status").get<std::string>()
                                             : std::string("unknown")));
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t count = data[0] % 8;
    if (size < 1 + count) return 0;
    std::vector<size_t> reads;
    for (size_t i = 0; i < count; ++i) reads.push_back(size_t{data[1 + i]} + 1);
    if (reads.empty()) reads.push_back(4096);
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + count,
                                  size - 1 - count);

    std::string buffer;
    std::string joined;  // every line taken, in order
    size_t offset = 0;
    for (size_t r = 0; offset < stream.size(); ++r) {
        const size_t n = std::min(reads[r % reads.size()], stream.size() - offset);
        buffer.append(stream.substr(offset, n));
        offset += n;
        while (std::optional<std::string> line = kelvo::take_line(buffer, false)) {
            FUZZ_CHECK(!line->empty() && line->back() == '\n');
            FUZZ_CHECK(line->find('\n') == line->size() - 1);
            joined += *line;
            check_line(*line);
        }
        FUZZ_CHECK(buffer.find('\n') == std::string::npos);
    }
    // The end of the stream: what is left is one last line.
    if (std::optional<std::string> last = kelvo::take_line(buffer, true)) {
        FUZZ_CHECK(!last->empty() && last->find('\n') == std::string::npos);
        joined += *last;
        check_line(*last);
    }
    FUZZ_CHECK(buffer.empty());
    FUZZ_CHECK(!kelvo::take_line(buffer, true));
    FUZZ_CHECK(joined == stream);
    return 0;
}
