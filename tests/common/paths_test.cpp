#include "common/paths.h"

#include <optional>

#include <gtest/gtest.h>

#include "support/scoped_env.h"

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
        {"a", ""},
        {"a/", ""},
        {"./a", "."},
        {"a//b", "a"},
        {"a//b/", "a"},
        {"a/b/.", "a"},  // a trailing "." is not a component
        {"a/b/./", "a"},
        {"a/./b", "a"},
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

TEST(HomeDir, RefusesUnsetAndNonUtf8) {
    const test_support::ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(home_dir(), "/home/u");
    auto refused = [] {
        auto home = home_dir();
        return home ? "accepted " + *home : home.error();
    };
    home.set("/home/\xff");
    EXPECT_EQ(refused(), "HOME not set");
    home.set(std::nullopt);
    EXPECT_EQ(refused(), "HOME not set");
}

}  // namespace
}  // namespace kelvo
