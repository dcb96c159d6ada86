// The cloud-init meta-data reader that names a VM: local_hostname on any
// text, short_id on any id, and vm_display_name over a meta-data file written
// from the input.
//
// Input: one flag byte (bit 0: the config has a vm_name, the text up to the
// first NUL), then the meta-data text; the id is the part after the last NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <unistd.h>

#include "check.h"
#include "cli/vm_store.h"
#include "common/text.h"
#include "config/helper_config.h"

namespace {

size_t characters(std::string_view text) {
    size_t n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// A private directory for the meta-data file, removed at exit. It is in
// memory where /dev/shm is: a disk mounted with discard makes rewriting the
// file a hundred times slower.
const std::filesystem::path& vm_dir() {
    // (Never destroyed, so that it is still there for the removal at exit.)
    static const std::filesystem::path* dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::error_code ec;
        const std::string base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm"
                                 : tmp != nullptr && *tmp != '\0'              ? tmp
                                                                               : "/tmp";
        std::string pattern = base + "/kelvo-fuzz-meta-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(vm_dir(), ignored);
        });
        return new std::filesystem::path(pattern);
    }();
    return *dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool named = (data[0] & 1) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::optional<std::string> host = kelvo::local_hostname(text);
    if (host) {
        // A value is trimmed, non-empty, within one line, and follows the key.
        FUZZ_CHECK(!host->empty() && kelvo::trim(*host) == *host);
        FUZZ_CHECK(host->find('\n') == std::string::npos);
        FUZZ_CHECK(text.find(*host) != std::string_view::npos);
        FUZZ_CHECK(text.find("local-hostname:") != std::string_view::npos);
    } else {
        for (const std::string& line : kelvo::split_lines(text)) {
            FUZZ_CHECK(!line.starts_with("local-hostname:") ||
                       kelvo::trim(std::string_view(line).substr(15)).empty());
        }
    }

    const size_t nul = text.rfind('\0');
    const std::string_view id = nul == std::string_view::npos ? text : text.substr(nul + 1);
    const std::string short_id = kelvo::short_id(id);
    FUZZ_CHECK(id.starts_with(short_id));
    FUZZ_CHECK(characters(short_id) == std::min<size_t>(characters(id), 12));

    kelvo::HelperConfig config;
    if (named) config.vm_name = std::string(text.substr(0, text.find('\0')));
    {
        std::ofstream out(vm_dir() / "meta-data", std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    const std::string name = kelvo::vm_display_name(config, vm_dir(), id);
    if (!config.vm_name.empty())
        FUZZ_CHECK(name == config.vm_name);
    else if (host && kelvo::is_valid_utf8(text))  // other text is not read as meta-data
        FUZZ_CHECK(name == *host);
    else
        FUZZ_CHECK(name == short_id);
    return 0;
}
