#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "config/helper_config.h"

namespace kelvo {

// A hibernated VM's snapshot: its save_path names a non-empty file
// (symbolic links followed). Such a VM shows as hibernated, and its next
// start resumes from the snapshot instead of booting. An empty save_path
// has no snapshot.
bool snapshot_present(const std::string& save_path);

// The snapshot is written to "{save_path}.part" and renamed into place.
std::string partial_snapshot_path(const std::string& save_path);
// What the snapshot belongs to (the disk, the emulator, the settings a load
// depends on), recorded next to it: "{save_path}.fingerprint".
std::string fingerprint_path(const std::string& save_path);

// Removes the snapshot, its partial file and its fingerprint, ignoring
// files that are not there. Once the disk has moved on (a resumed guest has
// run, a provision made a new disk) a snapshot would corrupt it.
void remove_snapshot(const std::string& save_path);

// What loading a snapshot depends on besides the disk: the guest's machine
// as QEMU is given it.
struct SnapshotSettings {
    std::string architecture;  // "x86_64", "aarch64"
    std::string machine;       // QEMU's -machine value
    std::string firmware;      // the firmware code file
    uint32_t cpus = 0;
    uint32_t memory_mib = 0;
};

// Records the fingerprint of the snapshot at save_path: the disk's identity
// as it is now (device, inode, size, modification time; taken once QEMU has
// exited), the emulator's version and the settings. Written to a private
// file, renamed into place and flushed. Errors: "{path}: {reason}".
std::expected<void, std::string> record_fingerprint(const std::string& save_path,
                                                    const std::string& disk_path,
                                                    std::string_view emulator_version,
                                                    const SnapshotSettings& settings);

// What a recorded fingerprint says about resuming the snapshot now.
struct SnapshotCheck {
    enum Kind {
        Unrecorded,       // no (readable) fingerprint: an older snapshot, resumed as ever
        Matches,          // disk and settings as at the hibernation
        DiskChanged,      // the disk was replaced or written since: never resume
        SettingsChanged,  // memory, vCPUs, machine, firmware or architecture differ
    } kind = Unrecorded;
    // DiskChanged: "the disk {path} has changed since the hibernation ({how})";
    // SettingsChanged: "memory changed from 1024 MiB to 2048 MiB" and the like,
    // joined by ", ".
    std::string detail;
    std::string emulator;  // the recorded emulator version ("" when unknown)
};
SnapshotCheck check_fingerprint(const std::string& save_path, const std::string& disk_path,
                                const SnapshotSettings& settings);

// Moves a snapshot that no longer matches its disk (and its fingerprint) out
// of the way, next to it: "{save_path}.disk-changed", or with ".2", ".3", ...
// appended when that name is taken. Nothing is deleted. Returns the new
// path, or "set aside {save_path}: {reason}".
std::expected<std::string, std::string> set_snapshot_aside(const std::string& save_path);

// A save_path that names the VM's disk, seed, variable store, machine
// identifier or console log would have that file replaced by a snapshot (or
// taken for one): "save_path {save} is the same file as {field} {path}".
// Paths are compared by their normalised text and, where both exist, by
// device and inode. Nothing when save_path is empty or names its own file.
std::optional<std::string> save_path_conflict(const HelperConfig& config);

}  // namespace kelvo
