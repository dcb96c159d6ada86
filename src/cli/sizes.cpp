#include "cli/sizes.h"

#include <fmt/format.h>

namespace kelvo {

uint64_t round_half_even(uint64_t bytes, uint64_t scale, uint64_t divisor) {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(bytes) * scale;
    auto quotient = static_cast<uint64_t>(scaled / divisor);
    const auto twice_remainder = static_cast<unsigned __int128>(scaled % divisor) * 2;
    if (twice_remainder > divisor || (twice_remainder == divisor && quotient % 2 == 1)) ++quotient;
    return quotient;
}

std::string format_gib_tenths(uint64_t bytes) {
    const uint64_t tenths = round_half_even(bytes, 10, uint64_t{1} << 30);
    return fmt::format("{}.{}", tenths / 10, tenths % 10);
}

std::string format_whole_mib(uint64_t bytes) {
    return fmt::format("{}", round_half_even(bytes, 1, uint64_t{1} << 20));
}

}  // namespace kelvo
