#pragma once

#include <string>
#include <string_view>

#include "config/helper_config.h"

namespace kelvo {

// The VM's run directory: the parent directory of disk_path, or "." when it
// has none. It holds the monitor sockets, qemu.log and the run lock.
std::string vm_run_dir(const HelperConfig& config);
// run_dir joined with name ("qmp.sock", "qga.sock", "qemu.log").
std::string run_dir_file(const HelperConfig& config, std::string_view name);

// An empty file that exists while QEMU keeps the guest paused on a disk
// error (the host's file system is full); the management commands show such
// a VM as paused.
inline constexpr std::string_view kDiskErrorMarker = "disk-error";

}  // namespace kelvo
