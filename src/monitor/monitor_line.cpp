#include "monitor/monitor_line.h"

#include "common/json.h"

namespace kelvo {

ClassifiedLine classify_reply_line(std::string_view line) {
    std::optional<nlohmann::json> value = parse_json_line(line);
    if (!value || !value->is_object()) return {};
    // A line holding both is a failure: `error` is looked at first.
    if (auto error = value->find("error"); error != value->end()) {
        return {ReplyKind::Error, std::move(*error)};
    }
    if (auto result = value->find("return"); result != value->end()) {
        return {ReplyKind::Return, std::move(*result)};
    }
    if (auto event = value->find("event"); event != value->end() && event->is_string()) {
        return {ReplyKind::Event, std::move(*value)};
    }
    return {};
}

std::string monitor_request_line(std::string_view command, const nlohmann::json& arguments) {
    nlohmann::json request = nlohmann::json::object();
    request["execute"] = std::string(command);
    if (!arguments.empty()) request["arguments"] = arguments;
    std::string line = dump_compact(request);
    line += '\n';
    return line;
}

}  // namespace kelvo
