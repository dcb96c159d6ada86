// helper.json reader: any bytes either give a config or a located error, and
// an accepted config written back as JSON reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "check.h"
#include "common/text.h"
#include "config/helper_config.h"
#include "support/helper_config_json.h"

namespace {

bool ends_with_location(std::string_view message) {
    // "... at line {n} column {n}"
    const size_t at = message.rfind(" at line ");
    if (at == std::string_view::npos || at == 0) return false;
    std::string_view rest = message.substr(at + 9);
    const size_t column = rest.find(" column ");
    if (column == std::string_view::npos) return false;
    unsigned long long n = 0;
    return kelvo::parse_unsigned(rest.substr(0, column), UINT64_MAX, n) && n >= 1 &&
           kelvo::parse_unsigned(rest.substr(column + 8), UINT64_MAX, n);
}

// The same fields as an array, in declaration order.
nlohmann::json as_array(const kelvo::HelperConfig& c) {
    return nlohmann::json::array({
        c.disk_path,
        c.seed_path,
        c.efi_store_path,
        c.machine_identifier_path,
        c.console_log_path,
        c.save_path,
        c.mac_address,
        c.cpu_count,
        c.memory_mib,
        c.disk_gib,
        c.isolated,
        c.ssh_host_port,
        c.firmware_path ? nlohmann::json(*c.firmware_path) : nlohmann::json(),
        c.vm_name,
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto config = kelvo::parse_helper_config(text);
    if (!config) {
        const std::string& message = config.error();
        FUZZ_CHECK(message == "stream did not contain valid UTF-8" || ends_with_location(message));
        FUZZ_CHECK(message != "stream did not contain valid UTF-8" || !kelvo::is_valid_utf8(text));
        return 0;
    }
    FUZZ_CHECK(kelvo::is_valid_utf8(text));
    const kelvo::HelperConfig& c = *config;
    // Decoded strings are UTF-8 whatever escapes spelled them.
    for (const std::string* s :
         {&c.disk_path, &c.seed_path, &c.efi_store_path, &c.machine_identifier_path,
          &c.console_log_path, &c.save_path, &c.mac_address, &c.vm_name}) {
        FUZZ_CHECK(kelvo::is_valid_utf8(*s));
    }
    FUZZ_CHECK(!c.firmware_path || kelvo::is_valid_utf8(*c.firmware_path));

    for (const nlohmann::json& written :
         {kelvo::test_support::helper_config_json(c), as_array(c)}) {
        for (const int indent : {-1, 2}) {
            const auto again = kelvo::parse_helper_config(written.dump(indent));
            FUZZ_CHECK(again.has_value());
            FUZZ_CHECK(*again == c);
        }
    }
    return 0;
}
