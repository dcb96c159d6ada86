#pragma once

#include <chrono>

namespace kelvo {

// How long a guest asked to power down (the ACPI power button) has before
// its helper ends QEMU: 45 s. `stop` shows its wait against it.
inline constexpr std::chrono::seconds kPowerdownLimit{45};

}  // namespace kelvo
