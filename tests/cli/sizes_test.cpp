#include "cli/sizes.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

TEST(Sizes, GibTenthsRoundToNearestWithTiesToEven) {
    struct Case {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0.0"},
        {256 * kMiB, "0.2"},      // 0.25: tie goes to the even 2
        {256 * kMiB + 1, "0.3"},  // just above the tie
        {768 * kMiB, "0.8"},      // 0.75: tie goes to the even 8
        {1280 * kMiB, "1.2"},     // 1.25
        {kGiB + 1, "1.0"},
        {20 * kGiB, "20.0"},
        {kGiB - 1, "1.0"},  // 0.99999… rounds up across the unit
        {UINT64_MAX, "17179869184.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_gib_tenths(c.bytes), c.text) << c.bytes;
}

TEST(Sizes, WholeMibRoundToNearestWithTiesToEven) {
    struct Case {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0"},
        {kMiB / 2, "0"},  // 0.5 → 0
        {kMiB / 2 + 1, "1"},
        {kMiB + kMiB / 2, "2"},      // 1.5 → 2
        {2 * kMiB + kMiB / 2, "2"},  // 2.5 → 2
        {1536 * kMiB, "1536"},
        {1, "0"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_whole_mib(c.bytes), c.text) << c.bytes;
}

}  // namespace
}  // namespace kelvo
