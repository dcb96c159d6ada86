#include "cli/event_render.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(EventRender, EachShapeAndEveryFallback) {
    struct Case {
        const char* line;
        const char* printed;
    } cases[] = {
        {"", ""},
        {R"({"event":"log","line":"launching qemu"})", "  launching qemu\n"},
        {R"({"event":"state","state":"starting"})", "  state: starting\n"},
        {R"({"event":"state","port":2222,"state":"running"})", "  state: running\n"},
        {R"({"event":"error","message":"cannot hibernate: QMP unavailable"})",
         "  error: cannot hibernate: QMP unavailable\n"},
        {"qemu-system-x86_64: warning: something", "  qemu-system-x86_64: warning: something\n"},
        {R"({"event":"log","line":7})", "  {\"event\":\"log\",\"line\":7}\n"},
        {R"({"event":"state"})", "  {\"event\":\"state\"}\n"},
        {R"({"event":"progress","line":"x"})", "  {\"event\":\"progress\",\"line\":\"x\"}\n"},
        {R"({"event":1,"line":"x"})", "  {\"event\":1,\"line\":\"x\"}\n"},
        {R"(["event","log"])", "  [\"event\",\"log\"]\n"},
        {"42", "  42\n"},
        {R"({"event":"log","line":"a"} trailing)",
         "  {\"event\":\"log\",\"line\":\"a\"} trailing\n"},
        {R"({"event":"log","line":"tab\there"})", "  tab\there\n"},
        {"   ", "     \n"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_event_line(c.line), c.printed) << c.line;
}

}  // namespace
}  // namespace kelvo
