// The process table's parsers: /proc entry names as process ids, the state
// letter of /proc/<pid>/stat, and the command-line tests that find a VM's
// helper and its QEMU, each checked against a plain restatement.
//
// Input: one selector byte, then the text. Selector 0: a /proc entry name.
// 1: a stat text. 2: a command line and, after the first "\x01", the config
// path text. 3: the same with a disk path. 4: process table entries separated
// by "\x01\x01" (each: a first byte giving the pid, then the command line),
// the config path text after the last "\x02".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "check.h"
#include "cli/process_table.h"

namespace {

std::vector<std::string_view> arguments(std::string_view cmdline) {
    std::vector<std::string_view> args;
    while (!cmdline.empty()) {
        const size_t nul = cmdline.find('\0');
        args.push_back(cmdline.substr(0, nul));
        if (nul == std::string_view::npos) break;
        cmdline.remove_prefix(nul + 1);
    }
    return args;
}

// The absolute path after the first "--config" of a command line with "run".
std::optional<std::filesystem::path> absolute_config(std::string_view cmdline) {
    const auto args = arguments(cmdline);
    if (std::find(args.begin(), args.end(), "run") == args.end()) return std::nullopt;
    const auto flag = std::find(args.begin(), args.end(), "--config");
    if (flag == args.end() || flag + 1 == args.end() || !flag[1].starts_with('/'))
        return std::nullopt;
    return std::filesystem::path(flag[1]);
}

// The config path text made absolute from the working directory.
std::optional<std::filesystem::path> absolute_wanted(std::string_view config) {
    if (config.empty()) return std::nullopt;
    if (config.starts_with('/')) return std::filesystem::path(config);
    return std::filesystem::current_path() / config;
}

// "run", and the config path text itself or an absolute --config path that is
// the same once both are lexically normal.
bool reference_helper(std::string_view cmdline, std::string_view config) {
    bool run = false;
    bool path = false;
    for (std::string_view arg : arguments(cmdline)) {
        run = run || arg == "run";
        path = path || arg == config;
    }
    const auto named = absolute_config(cmdline);
    const auto wanted = absolute_wanted(config);
    return run &&
           (path || (named && wanted && named->lexically_normal() == wanted->lexically_normal()));
}

// The same, or an absolute --config path naming the very file.
bool reference_table_helper(std::string_view cmdline, std::string_view config) {
    if (reference_helper(cmdline, config)) return true;
    const auto named = absolute_config(cmdline);
    const auto wanted = absolute_wanted(config);
    struct stat a, b;
    return named && wanted && ::stat(named->lexically_normal().c_str(), &a) == 0 &&
           ::stat(wanted->lexically_normal().c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// A QEMU of the disk: "qemu-system" somewhere, and a drive argument that is
// "file={disk}" or ends in ",file={disk}".
bool reference_qemu(std::string_view cmdline, std::string_view disk) {
    if (disk.empty() || cmdline.find("qemu-system") == std::string_view::npos) return false;
    const std::string whole = "file=" + std::string(disk);
    for (std::string_view arg : arguments(cmdline)) {
        if (arg == whole || arg.ends_with("," + whole)) return true;
    }
    return false;
}

void check_pid(std::string_view name) {
    const auto pid = kelvo::parse_pid(name);
    std::string_view digits = name;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    bool ok = !digits.empty();
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            ok = false;
            break;
        }
    }
    FUZZ_CHECK(pid.has_value() == ok);
    FUZZ_CHECK(!pid || *pid == value);
}

void check_stat(std::string_view text) {
    const auto state = kelvo::parse_stat_state(text);
    const size_t paren = text.rfind(')');
    if (paren == std::string_view::npos || text.size() - paren < 3) {
        FUZZ_CHECK(!state);
    } else {
        FUZZ_CHECK(state && *state == text[paren + 2]);
    }
}

void check_table(std::string_view input) {
    const size_t split = input.rfind('\x02');
    const std::string_view config =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    std::string_view entries = input.substr(0, split);
    std::vector<kelvo::ProcessInfo> processes;
    while (!entries.empty() && processes.size() < 64) {
        const size_t end = entries.find("\x01\x01");
        const std::string_view entry = entries.substr(0, end);
        kelvo::ProcessInfo info;
        if (!entry.empty()) {
            // The program's own pid now and then: it must be skipped.
            info.pid = static_cast<unsigned char>(entry[0]) == 0xFF
                           ? static_cast<uint32_t>(::getpid())
                           : static_cast<unsigned char>(entry[0]);
            info.cmdline = std::string(entry.substr(1));
        }
        processes.push_back(std::move(info));
        if (end == std::string_view::npos) break;
        entries.remove_prefix(end + 2);
    }
    std::optional<uint32_t> expected;
    for (const kelvo::ProcessInfo& p : processes) {
        if (p.pid != static_cast<uint32_t>(::getpid()) &&
            reference_table_helper(p.cmdline, config)) {
            expected = p.pid;
            break;
        }
    }
    const kelvo::ProcessTable table(processes);
    FUZZ_CHECK(table.find_helper(config) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t split = text.find('\x01');
    const std::string_view first = text.substr(0, split);
    const std::string_view second =
        split == std::string_view::npos ? std::string_view() : text.substr(split + 1);
    switch (data[0] % 5) {
        case 0:
            check_pid(text);
            break;
        case 1:
            check_stat(text);
            break;
        case 2:
            FUZZ_CHECK(kelvo::is_helper_cmdline(first, second) == reference_helper(first, second));
            break;
        case 3:
            FUZZ_CHECK(kelvo::is_vm_qemu_cmdline(first, second) == reference_qemu(first, second));
            break;
        default:
            check_table(text);
            break;
    }
    return 0;
}
