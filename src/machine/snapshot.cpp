#include "machine/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/files.h"
#include "common/json.h"
#include "common/os_error.h"

namespace kelvo {

namespace {

// The path as an absolute, lexically normal text ("a/./b" and "a//b" are
// "{cwd}/a/b"); the text itself when the working directory is unknown.
std::string normal_path(const std::string& path) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    return (ec ? std::filesystem::path(path) : absolute).lexically_normal().string();
}

bool same_file(const std::string& a, const std::string& b) {
    if (normal_path(a) == normal_path(b)) return true;
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The largest fingerprint read; a real one is a few hundred bytes.
constexpr size_t kMaxFingerprintBytes = 64 * 1024;

std::optional<nlohmann::json> disk_identity(const std::string& disk_path) {
    struct stat st;
    if (::stat(disk_path.c_str(), &st) != 0) return std::nullopt;
    nlohmann::json disk = nlohmann::json::object();
    disk["device"] = static_cast<uint64_t>(st.st_dev);
    disk["inode"] = static_cast<uint64_t>(st.st_ino);
    disk["size"] = static_cast<int64_t>(st.st_size);
    disk["mtime_ns"] = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return disk;
}

nlohmann::json settings_json(const SnapshotSettings& settings) {
    nlohmann::json json = nlohmann::json::object();
    json["architecture"] = settings.architecture;
    json["machine"] = settings.machine;
    json["firmware"] = settings.firmware;
    json["cpus"] = settings.cpus;
    json["memory_mib"] = settings.memory_mib;
    return json;
}

// How the disk differs from the recorded identity; "" when it does not.
std::string disk_change(const nlohmann::json& recorded, const std::string& disk_path) {
    const auto now = disk_identity(disk_path);
    if (!now) return "it cannot be read";
    if (!recorded.is_object()) return "its record is unreadable";
    if (recorded.value("device", uint64_t{0}) != (*now)["device"] ||
        recorded.value("inode", uint64_t{0}) != (*now)["inode"])
        return "it was replaced by another file";
    if (recorded.value("size", int64_t{-1}) != (*now)["size"] ||
        recorded.value("mtime_ns", int64_t{-1}) != (*now)["mtime_ns"])
        return "it was written since";
    return "";
}

// "memory changed from 1024 MiB to 2048 MiB, cpus changed from 2 to 4".
std::string settings_change(const nlohmann::json& recorded, const SnapshotSettings& settings) {
    if (!recorded.is_object()) return "";
    const nlohmann::json now = settings_json(settings);
    const std::pair<const char*, const char*> fields[] = {{"memory_mib", "memory"},
                                                          {"cpus", "cpus"},
                                                          {"machine", "machine"},
                                                          {"firmware", "firmware"},
                                                          {"architecture", "architecture"}};
    std::string changes;
    for (const auto& [key, name] : fields) {
        const auto then = recorded.find(key);
        if (then == recorded.end() || *then == now[key]) continue;  // not recorded, or equal
        const std::string_view unit = std::string_view(key) == "memory_mib" ? " MiB" : "";
        const auto shown = [unit](const nlohmann::json& v) {
            return (v.is_string() ? v.get<std::string>() : dump_compact(v)) + std::string(unit);
        };
        if (!changes.empty()) changes += ", ";
        changes += fmt::format("{} changed from {} to {}", name, shown(*then), shown(now[key]));
    }
    return changes;
}

}  // namespace

bool snapshot_present(const std::string& save_path) {
    struct stat st;
    return !save_path.empty() && ::stat(save_path.c_str(), &st) == 0 && st.st_size > 0;
}

std::string partial_snapshot_path(const std::string& save_path) {
    return save_path + ".part";
}

std::string fingerprint_path(const std::string& save_path) {
    return save_path + ".fingerprint";
}

void remove_snapshot(const std::string& save_path) {
    if (save_path.empty()) return;
    for (const std::string& path :
         {save_path, partial_snapshot_path(save_path), fingerprint_path(save_path)})
        (void)::unlink(path.c_str());
}

std::optional<std::string> save_path_conflict(const HelperConfig& config) {
    if (config.save_path.empty()) return std::nullopt;
    const std::pair<std::string_view, const std::string*> others[] = {
        {"disk_path", &config.disk_path},
        {"seed_path", &config.seed_path},
        {"efi_store_path", &config.efi_store_path},
        {"machine_identifier_path", &config.machine_identifier_path},
        {"console_log_path", &config.console_log_path},
    };
    for (const auto& [field, path] : others) {
        if (!path->empty() && same_file(config.save_path, *path))
            return fmt::format("save_path {} is the same file as {} {}", config.save_path, field,
                               *path);
    }
    return std::nullopt;
}

std::expected<void, std::string> record_fingerprint(const std::string& save_path,
                                                    const std::string& disk_path,
                                                    std::string_view emulator_version,
                                                    const SnapshotSettings& settings) {
    const std::string path = fingerprint_path(save_path);
    const auto disk = disk_identity(disk_path);
    if (!disk)
        return std::unexpected(fmt::format("{}: stat {}: {}", path, disk_path, last_os_error()));
    nlohmann::json fingerprint = nlohmann::json::object();
    fingerprint["disk"] = *disk;
    fingerprint["emulator"] = std::string(emulator_version);
    fingerprint["settings"] = settings_json(settings);
    const std::string text = dump_compact(fingerprint) + "\n";

    const std::string partial = partial_snapshot_path(path);
    auto file = open_private_file(partial, O_TRUNC);
    if (!file) return std::unexpected(path + ": " + file.error());
    const bool written =
        ::write(file->get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(file->get()) == 0;
    const std::string write_error = written ? "" : last_os_error();
    if (file->close() != 0 || !written) {
        (void)::unlink(partial.c_str());
        return std::unexpected(path + ": " + (written ? last_os_error() : write_error));
    }
    if (::rename(partial.c_str(), path.c_str()) != 0) {
        const std::string error = last_os_error();
        (void)::unlink(partial.c_str());
        return std::unexpected(path + ": " + error);
    }
    if (auto synced = sync_parent_dir(path); !synced)
        return std::unexpected(path + ": " + synced.error());
    return {};
}

SnapshotCheck check_fingerprint(const std::string& save_path, const std::string& disk_path,
                                const SnapshotSettings& settings) {
    SnapshotCheck check;
    auto text = read_regular_file(fingerprint_path(save_path));
    if (!text || text->size() > kMaxFingerprintBytes) return check;
    const auto fingerprint = parse_json_line(*text);
    if (!fingerprint || !fingerprint->is_object()) return check;
    if (auto emulator = fingerprint->find("emulator");
        emulator != fingerprint->end() && emulator->is_string())
        check.emulator = emulator->get<std::string>();

    const auto field = [&](const char* key) {
        auto it = fingerprint->find(key);
        return it == fingerprint->end() ? nlohmann::json() : *it;
    };
    if (std::string how = disk_change(field("disk"), disk_path); !how.empty()) {
        check.kind = SnapshotCheck::DiskChanged;
        check.detail =
            fmt::format("the disk {} has changed since the hibernation ({})", disk_path, how);
    } else if (std::string changes = settings_change(field("settings"), settings);
               !changes.empty()) {
        check.kind = SnapshotCheck::SettingsChanged;
        check.detail = std::move(changes);
    } else {
        check.kind = SnapshotCheck::Matches;
    }
    return check;
}

std::expected<std::string, std::string> set_snapshot_aside(const std::string& save_path) {
    std::string aside = save_path + ".disk-changed";
    struct stat st;
    for (int n = 2; ::lstat(aside.c_str(), &st) == 0; ++n) {
        if (n > 1000)
            return std::unexpected(fmt::format("set aside {}: every name is taken", save_path));
        aside = fmt::format("{}.disk-changed.{}", save_path, n);
    }
    if (::rename(save_path.c_str(), aside.c_str()) != 0)
        return std::unexpected(fmt::format("set aside {}: {}", save_path, last_os_error()));
    (void)::rename(fingerprint_path(save_path).c_str(), fingerprint_path(aside).c_str());
    return aside;
}

}  // namespace kelvo
