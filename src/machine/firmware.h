#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "machine/arch.h"

namespace kelvo {

// The firmware CODE image (passed to QEMU) and the VARS template (copied into
// each VM's own variable store).
struct FirmwarePair {
    std::string code;
    std::string vars;
    bool operator==(const FirmwarePair&) const = default;
};

// True when the path's status can be read following symbolic links.
bool path_exists(const std::string& path);

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

// Copies the template to efi_store_path (mode 644) unless that path already
// exists. A copy or chmod that fails part-way leaves no file behind.
std::expected<void, std::string> ensure_varstore(const std::string& vars_template,
                                                 const std::string& efi_store_path);

// The permission change of ensure_varstore on the new store's descriptor:
// 0 on success, -1 with errno set otherwise. Tests replace it to provoke a
// failure after the copy.
using SetModeFn = std::function<int(int fd, unsigned mode)>;
std::expected<void, std::string> ensure_varstore(const std::string& vars_template,
                                                 const std::string& efi_store_path,
                                                 const SetModeFn& set_mode);

// Reads the VM's UUID, or makes, stores and returns a new one. Never fails.
// random_source is read for the 16 random bytes (tests inject it).
std::string load_or_create_machine_id(const std::string& machine_identifier_path,
                                      const std::string& random_source = "/dev/urandom");

}  // namespace kelvo
