#pragma once

#include <cstdint>
#include <string>

namespace kelvo {

// A byte count in GiB with exactly one decimal ("0.2" for 256 MiB).
std::string format_gib_tenths(uint64_t bytes);
// A byte count in whole MiB ("2" for 1.5 MiB).
std::string format_whole_mib(uint64_t bytes);

// bytes * scale / divisor rounded to the nearest integer, an exact tie going
// to the even one.
uint64_t round_half_even(uint64_t bytes, uint64_t scale, uint64_t divisor);

}  // namespace kelvo
