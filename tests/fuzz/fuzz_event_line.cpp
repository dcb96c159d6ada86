// Echo of helper.out event lines: every line renders as one indented line
// (empty for an empty line), and the three known events render their text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "check.h"
#include "cli/event_render.h"
#include "common/json.h"

namespace {

// The string member of an object, or nothing.
const std::string* member(const nlohmann::json& value, const char* key) {
    if (!value.is_object()) return nullptr;
    const auto it = value.find(key);
    return it != value.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::string text = kelvo::format_event_line(line);
    if (line.empty()) {
        FUZZ_CHECK(text.empty());
        return 0;
    }
    FUZZ_CHECK(text.starts_with("  ") && text.ends_with('\n'));

    std::string body = "  " + std::string(line) + "\n";
    if (const auto value = kelvo::parse_json_line(line)) {
        const std::string* event = member(*value, "event");
        const char* key = nullptr;
        const char* label = "";
        if (event && *event == "log") key = "line";
        if (event && *event == "state") key = "state", label = "state: ";
        if (event && *event == "error") key = "message", label = "error: ";
        if (key != nullptr) {
            if (const std::string* s = member(*value, key)) body = "  " + (label + *s) + "\n";
        }
    }
    FUZZ_CHECK(text == body);
    return 0;
}
