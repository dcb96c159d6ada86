#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kelvo {

// How a received monitor line is taken: the reply to the pending request
// (failure or success), an asynchronous event, or something to skip
// (greeting, non-JSON).
enum class ReplyKind { Ignored, Error, Return, Event };
struct ClassifiedLine {
    ReplyKind kind = ReplyKind::Ignored;
    nlohmann::json value;  // the `error` or `return` member; an event: the whole object
};
ClassifiedLine classify_reply_line(std::string_view line);

// One request line: compact JSON, `arguments` (only when non-empty) before
// `execute`, then a line feed.
std::string monitor_request_line(std::string_view command, const nlohmann::json& arguments);

}  // namespace kelvo
