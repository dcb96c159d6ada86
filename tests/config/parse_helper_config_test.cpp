// Runs every case of the shared conformance table through the reader: the
// record it loads, or the exact message it fails with.
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "config/helper_config.h"
#include "support/helper_config_json.h"
#include "support/temp_dir.h"

namespace kelvo {
namespace {

using nlohmann::json;

std::string base64_decode(std::string_view in) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : in) {
        const size_t v = alphabet.find(c);
        if (v == std::string::npos) continue;  // padding
        bits = bits << 6 | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

using test_support::TempDir;

TEST(ConfigConformance, EveryCaseMatches) {
    const std::string table = KELVO_TESTS_DIR "/data/config_cases.json";
    const json cases = json::parse(read_all(table), nullptr, false);
    ASSERT_TRUE(cases.is_array()) << "cannot read " << table;
    ASSERT_FALSE(cases.empty());

    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.file("helper.json");

    size_t passed = 0;
    for (const json& c : cases) {
        const std::string name = c.at("name");
        const std::string kind = c.at("kind");
        const std::string input = c.at("input").is_null()
                                      ? base64_decode(c.at("input_b64").get<std::string>())
                                      : c.at("input").get<std::string>();
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            out << input;
        }
        const auto loaded = load_helper_config(file);
        bool ok = false;
        if (kind == "ok") {
            EXPECT_TRUE(loaded.has_value()) << name << ": " << (loaded ? "" : loaded.error());
            if (loaded) {
                const json got = test_support::helper_config_json(*loaded);
                EXPECT_EQ(got, c.at("value")) << name;
                ok = got == c.at("value");
            }
        } else {
            const std::string expected = c.at("expected");
            const std::string want = kind == "read" ? "read config " + file + ": " + expected
                                                    : "parse config: " + expected;
            EXPECT_FALSE(loaded.has_value()) << name;
            if (!loaded) {
                EXPECT_EQ(loaded.error(), want) << name;
                ok = loaded.error() == want;
            }
            if (kind == "parse") {
                const auto parsed = parse_helper_config(input);
                EXPECT_EQ(parsed ? "" : parsed.error(), expected)
                    << name << " (parse_helper_config)";
            }
        }
        if (ok) ++passed;
    }
    EXPECT_EQ(passed, cases.size());
    std::cout << "config conformance: " << passed << "/" << cases.size() << " cases pass\n";
}

}  // namespace
}  // namespace kelvo
