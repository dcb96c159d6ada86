#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// The VM's record, read from helper.json (written by the desktop app; this
// program never writes it). Fields in declaration order, which is also the
// order of the missing-field checks.
struct HelperConfig {
    std::string disk_path;
    std::string seed_path;
    std::string efi_store_path;
    std::string machine_identifier_path;
    std::string console_log_path;
    std::string save_path;  // "" means there is no snapshot
    std::string mac_address;
    uint32_t cpu_count = 0;
    uint32_t memory_mib = 0;
    uint32_t disk_gib = 0;                     // optional, 0 keeps the image's size
    bool isolated = false;                     // required, unused
    uint16_t ssh_host_port = 0;                // optional, 0 means not set
    std::optional<std::string> firmware_path;  // optional, null = absent
    std::string vm_name;                       // optional, "" = derive a name

    bool operator==(const HelperConfig&) const = default;
};

// Parses the text of a helper.json. The error is the reason only, for
// example "missing field `disk_path` at line 1 column 2". Text that is not
// UTF-8 is refused as a whole with "stream did not contain valid UTF-8".
std::expected<HelperConfig, std::string> parse_helper_config(std::string_view text);

// Reads and parses a helper.json, reading the file once whatever its size.
// Errors: "read config {path}: {reason}" or "parse config: {reason}". Only a
// regular file is read: a FIFO or a device is refused with the reason "not a
// regular file" (it is never waited on), a directory with "Is a directory
// (os error 21)".
std::expected<HelperConfig, std::string> load_helper_config(const std::string& path);

}  // namespace kelvo
