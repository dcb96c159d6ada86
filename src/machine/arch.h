#pragma once

#include <string_view>

namespace kelvo {

// The host architecture the program is built for. Everything that depends on
// it takes the value as a parameter, so both tables are testable on any host.
enum class Arch { X86_64, Arm64 };

#if defined(__aarch64__)
inline constexpr Arch kBuildArch = Arch::Arm64;
#else
inline constexpr Arch kBuildArch = Arch::X86_64;
#endif

// "amd64" / "arm64": the cloud image's architecture word.
constexpr std::string_view image_arch_word(Arch arch) {
    return arch == Arch::Arm64 ? "arm64" : "amd64";
}

}  // namespace kelvo
