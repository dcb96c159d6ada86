#include "provision/paths.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(ParentDir, Table) {
    struct Case {
        std::string path;
        std::optional<std::string> parent;
    } cases[] = {
        {"/home/u/.kelvo/vms/x/seed.iso", "/home/u/.kelvo/vms/x"},
        {"vms/x/seed.iso", "vms/x"},
        {"seed.iso", ""},  // a bare name: the working directory
        {"./seed.iso", "."},
        {"/seed.iso", "/"},
        {"//seed.iso", "/"},
        {"a//b/", "a"},
        {"a/b//c", "a/b"},
        {"", std::nullopt},
        {"/", std::nullopt},
        {"///", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parent_dir(c.path), c.parent) << c.path;
}

TEST(JoinPath, Table) {
    EXPECT_EQ(join_path("/a/b", "c"), "/a/b/c");
    EXPECT_EQ(join_path("/a/b/", "c"), "/a/b/c");
    EXPECT_EQ(join_path("/", "c"), "/c");
    EXPECT_EQ(join_path("", "c"), "c");
}

}  // namespace
}  // namespace kelvo
