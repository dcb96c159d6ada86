#pragma once

#include <string>
#include <string_view>

#include "config/helper_config.h"

namespace kelvo {

// The VM's run directory: the parent directory of disk_path, or "." when it
// has none. Every file a run keeps beside the disk is named here.
std::string vm_run_dir(const HelperConfig& config);

// The file names, for messages that name a file without its folder.
inline constexpr std::string_view kQemuLogName = "qemu.log";

// QEMU's monitor socket (QMP).
std::string qmp_socket_path(const HelperConfig& config);
// The guest agent's socket.
std::string agent_socket_path(const HelperConfig& config);
// QEMU's standard output and error.
std::string qemu_log_path(const HelperConfig& config);
// The run lock (machine/run_lock.h), "helper.lock".
std::string run_lock_path(const HelperConfig& config);
// An empty file that exists while QEMU keeps the guest paused on a disk
// error (the host's file system is full); the management commands show such
// a VM as paused.
std::string disk_error_marker_path(const HelperConfig& config);

}  // namespace kelvo
