#pragma once

// A loaded helper configuration as the JSON object helper.json holds, to
// compare with an expected one or to write back. (Used by the unit tests and
// the fuzz targets alike: no test framework here.)

#include <nlohmann/json.hpp>

#include "config/helper_config.h"

namespace kelvo::test_support {

inline nlohmann::json helper_config_json(const HelperConfig& c) {
    return nlohmann::json{
        {"disk_path", c.disk_path},
        {"seed_path", c.seed_path},
        {"efi_store_path", c.efi_store_path},
        {"machine_identifier_path", c.machine_identifier_path},
        {"console_log_path", c.console_log_path},
        {"save_path", c.save_path},
        {"mac_address", c.mac_address},
        {"cpu_count", c.cpu_count},
        {"memory_mib", c.memory_mib},
        {"disk_gib", c.disk_gib},
        {"isolated", c.isolated},
        {"ssh_host_port", c.ssh_host_port},
        {"firmware_path", c.firmware_path ? nlohmann::json(*c.firmware_path) : nlohmann::json()},
        {"vm_name", c.vm_name},
    };
}

}  // namespace kelvo::test_support
