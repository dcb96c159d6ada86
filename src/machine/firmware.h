#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/files.h"
#include "machine/arch.h"

namespace kelvo {

// The firmware CODE image (passed to QEMU) and the VARS template (copied into
// each VM's own variable store).
struct FirmwarePair {
    std::string code;
    std::string vars;
    bool operator==(const FirmwarePair&) const = default;
};

using ExistsFn = std::function<bool(const std::string&)>;

// The override (firmware_path) when given, otherwise the first complete row
// of the architecture's table, where a padded QEMU_EFI-pflash.raw beside a
// row's raw QEMU_EFI.fd is taken as the CODE image. `exists` decides
// existence (tests inject it).
std::expected<FirmwarePair, std::string> find_firmware(
    Arch arch, const std::optional<std::string>& firmware_path,
    const ExistsFn& exists = path_exists);

// The VARS template named by an override CODE path: the first of
// ("OVMF_CODE", "OVMF_VARS"), ("AAVMF_CODE", "AAVMF_VARS"), ("CODE", "VARS")
// that occurs, with every occurrence replaced. Nothing when none occurs.
std::optional<std::string> derive_vars_path(std::string_view code_path);

}  // namespace kelvo
