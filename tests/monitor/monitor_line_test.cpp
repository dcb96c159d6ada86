#include "monitor/monitor_line.h"

#include <string>

#include <gtest/gtest.h>

#include "common/json.h"

namespace kelvo {
namespace {

using nlohmann::json;

TEST(ClassifyReplyLine, ErrorBeforeReturnThenEventsAndEverythingElseIgnored) {
    struct Case {
        std::string line;
        ReplyKind kind;
        json value;
    } cases[] = {
        {"{\"return\": {}}\n", ReplyKind::Return, json::object()},
        {"  {\"return\": 5}  \r\n", ReplyKind::Return, 5},
        {"{\"return\": null}", ReplyKind::Return, nullptr},
        {"{\"return\": [{\"pid\": 1}], \"id\": 3}", ReplyKind::Return, json::array({{{"pid", 1}}})},
        {"{\"error\": {\"class\": \"GenericError\", \"desc\": \"d\"}}\n",
         ReplyKind::Error,
         {{"class", "GenericError"}, {"desc", "d"}}},
        {"{\"return\": {}, \"error\": \"both\"}", ReplyKind::Error, "both"},
        {"{\"QMP\": {\"version\": {}, \"capabilities\": []}}\n", ReplyKind::Ignored, nullptr},
        {"{\"event\": \"SHUTDOWN\", \"data\": {\"guest\": true}}\n",
         ReplyKind::Event,
         {{"event", "SHUTDOWN"}, {"data", {{"guest", true}}}}},
        {"{\"event\": 7}", ReplyKind::Ignored, nullptr},
        {"[{\"return\": {}}]", ReplyKind::Ignored, nullptr},
        {"\"return\"", ReplyKind::Ignored, nullptr},
        {"42", ReplyKind::Ignored, nullptr},
        {"", ReplyKind::Ignored, nullptr},
        {" \t\r\n", ReplyKind::Ignored, nullptr},
        {"{\"return\": {}", ReplyKind::Ignored, nullptr},
        {"{\"return\": {}} trailing", ReplyKind::Ignored, nullptr},
        {"\xff\xfe{}", ReplyKind::Ignored, nullptr},
    };
    for (const auto& c : cases) {
        const ClassifiedLine got = classify_reply_line(c.line);
        EXPECT_EQ(got.kind, c.kind) << c.line;
        if (c.kind != ReplyKind::Ignored) {
            EXPECT_EQ(got.value, c.value) << c.line;
        }
    }
}

TEST(ClassifyReplyLine, DeepErrorReplyIsIgnoredNotDumped) {
    // A failure reply nested far deeper than the stack allows to write out.
    const std::string line =
        R"({"error": )" + std::string(200000, '[') + std::string(200000, ']') + "}\n";
    EXPECT_EQ(classify_reply_line(line).kind, ReplyKind::Ignored);
}

TEST(MonitorRequestLine, CompactSortedWithArgumentsOnlyWhenNonEmpty) {
    struct Case {
        std::string command;
        json arguments;
        std::string line;
    } cases[] = {
        {"qmp_capabilities", json::object(), "{\"execute\":\"qmp_capabilities\"}\n"},
        {"quit", json(), "{\"execute\":\"quit\"}\n"},
        {"set_link",
         {{"up", false}, {"name", "net0"}},
         "{\"arguments\":{\"name\":\"net0\",\"up\":false},\"execute\":\"set_link\"}\n"},
        {"set_link",
         {{"name", "net0"}, {"up", true}},
         "{\"arguments\":{\"name\":\"net0\",\"up\":true},\"execute\":\"set_link\"}\n"},
        {"migrate-set-parameters",
         {{"max-bandwidth", 8000000000LL}},
         "{\"arguments\":{\"max-bandwidth\":8000000000},\"execute\":\"migrate-set-parameters\"}\n"},
        // Slashes and quotes of a shell-quoted path travel unescaped.
        {"migrate",
         {{"uri", "exec:cat > '/home/u/it'\\''s/save.bin'"}},
         "{\"arguments\":{\"uri\":\"exec:cat > '/home/u/it'\\\\''s/save.bin'\"},\"execute\":"
         "\"migrate\"}\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(monitor_request_line(c.command, c.arguments), c.line);
}

}  // namespace
}  // namespace kelvo
