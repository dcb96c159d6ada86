#include "common/json.h"

#include <string>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

std::string nested(size_t depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
}

TEST(CommonJson, NestingUpTo256LevelsParses) {
    EXPECT_TRUE(parse_json_line(nested(256, '[', ']')));
    const auto value = parse_json_line(R"({"a":)" + nested(255, '[', ']') + "}");
    ASSERT_TRUE(value);
    EXPECT_TRUE(value->at("a").is_array());
}

TEST(CommonJson, DeeperNestingIsNotJson) {
    EXPECT_FALSE(parse_json_line(nested(257, '[', ']')));
    std::string objects;
    for (int i = 0; i < 257; ++i) objects += R"({"a":)";
    objects += "1" + std::string(257, '}');
    EXPECT_FALSE(parse_json_line(objects));
}

TEST(CommonJson, BracketsInStringsDoNotCount) {
    const std::string text =
        "[\"" + std::string(1000, '[') + "\\\"" + std::string(1000, '{') + "\"]";
    const auto value = parse_json_line(text);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->at(0).get<std::string>().size(), 2001u);
}

}  // namespace
}  // namespace kelvo
