#include "machine/firmware.h"

#include <sys/stat.h>
#include <array>
#include <span>

#include <fmt/format.h>

#include "machine/qemu_args.h"

namespace kelvo {

namespace {

struct Candidate {
    const char* code;
    const char* vars;
};

constexpr std::array kOvmfCandidates{
    Candidate{"/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"},
    Candidate{"/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"},
    Candidate{"/usr/share/edk2/x64/OVMF_CODE.4m.fd", "/usr/share/edk2/x64/OVMF_VARS.4m.fd"},
    Candidate{"/usr/share/edk2/ovmf/OVMF_CODE.fd", "/usr/share/edk2/ovmf/OVMF_VARS.fd"},
    Candidate{"/usr/share/qemu/OVMF_CODE.fd", "/usr/share/qemu/OVMF_VARS.fd"},
};

constexpr std::array kAavmfCandidates{
    Candidate{"/usr/share/AAVMF/AAVMF_CODE.fd", "/usr/share/AAVMF/AAVMF_VARS.fd"},
    Candidate{"/usr/share/edk2/aarch64/QEMU_EFI.fd",
              "/usr/share/edk2/aarch64/vars-template-pflash.raw"},
    Candidate{"/usr/share/qemu-efi-aarch64/QEMU_EFI.fd",
              "/usr/share/qemu-efi-aarch64/vars-template-pflash.raw"},
    Candidate{"/usr/share/edk2/arm/QEMU_EFI.fd", "/usr/share/edk2/arm/vars-template-pflash.raw"},
};

std::span<const Candidate> candidates(Arch arch) {
    if (arch == Arch::Arm64) return kAavmfCandidates;
    return kOvmfCandidates;
}

// (pattern, replacement), tried in this order; the first that occurs wins.
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kOverridePatterns{{
    {"OVMF_CODE", "OVMF_VARS"},
    {"AAVMF_CODE", "AAVMF_VARS"},
    {"CODE", "VARS"},
}};

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::string_view::npos;
         pos = hit + from.size()) {
        out.append(text.substr(pos, hit - pos));
        out.append(to);
    }
    out.append(text.substr(pos));
    return out;
}

// Some distributions ship QEMU_EFI.fd as the raw 2 MiB build, which QEMU
// refuses as pflash unit 0 of `virt` (it needs a 64 MiB image). Where the
// padded QEMU_EFI-pflash.raw stands beside it, that one is the CODE image.
std::string bootable_code(std::string_view code, const ExistsFn& exists) {
    constexpr std::string_view kRaw = "QEMU_EFI.fd";
    if (!code.ends_with(kRaw)) return std::string(code);
    std::string padded(code.substr(0, code.size() - kRaw.size()));
    padded += "QEMU_EFI-pflash.raw";
    return exists(padded) ? padded : std::string(code);
}

}  // namespace

std::optional<std::string> derive_vars_path(std::string_view code_path) {
    for (const auto& [pattern, replacement] : kOverridePatterns) {
        if (code_path.find(pattern) != std::string_view::npos) {
            return replace_all(code_path, pattern, replacement);
        }
    }
    return std::nullopt;
}

std::expected<FirmwarePair, std::string> find_firmware(
    Arch arch, const std::optional<std::string>& firmware_path, const ExistsFn& exists) {
    if (firmware_path) {
        // An override is never backed by the tables.
        const std::string& code = *firmware_path;
        if (exists(code)) {
            auto vars = derive_vars_path(code);
            if (vars && exists(*vars)) return FirmwarePair{code, *vars};
        }
        return std::unexpected(
            fmt::format("firmware_path {} not usable (CODE or VARS missing)", code));
    }
    for (const Candidate& row : candidates(arch)) {
        if (exists(row.code) && exists(row.vars))
            return FirmwarePair{bootable_code(row.code, exists), row.vars};
    }
    return std::unexpected(
        fmt::format("no UEFI firmware found for {} — install the OVMF/AAVMF (edk2) package",
                    qemu_program(arch)));
}

}  // namespace kelvo
