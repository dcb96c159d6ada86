#pragma once

#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "config/helper_config.h"
#include "supervisor/session.h"

namespace kelvo {

// QEMU can stop a guest on its own: for good ("internal-error" when KVM
// cannot execute the guest's code, "guest-panicked"), or until it is
// continued ("io-error": the disk's error policy pauses the guest when the
// host's file system is full). The supervisor learns of it from QEMU's run
// state, asked once the monitor is connected and again after every event that
// may change it.

// True for the run states a guest never leaves.
bool run_state_is_fatal(std::string_view status);

// True for the QMP events after which the run state is asked again.
bool changes_run_state(const nlohmann::json& event);

// "qemu stopped the guest ({status}): {first line of qemu.log} (see {path})";
// without the quote when the log has nothing to say.
std::string stopped_guest_message(std::string_view status, std::string_view qemu_log_text,
                                  const std::string& qemu_log_path);

// The log line for a guest paused on a disk error, naming the device and the
// error of the last BLOCK_IO_ERROR event (null: none was seen).
std::string disk_error_line(const nlohmann::json& block_io_error);

// Asks QEMU's run state and acts on it: a fatal state is reported as an
// `error`, QEMU is quit (killed after quit_limit) and s.failed set; "io-error"
// is logged once, marked for the management commands (disk_error_marker_path) and
// retried (retry_after_disk_error); "running" clears a disk error. Without
// QMP, or once s.failed, it does nothing.
asio::awaitable<void> check_run_state(Supervisor& s);

// An event taken from the monitor: a run-state change leads to
// check_run_state; BLOCK_IO_ERROR's details are kept for the log line.
asio::awaitable<void> on_qmp_event(Supervisor& s, const nlohmann::json& event);

// While paused on a disk error: once the disk's file system has room again
// (kDiskRoomBytes available), `cont`; the next retry is armed either way.
asio::awaitable<void> retry_after_disk_error(Supervisor& s);

// What the disk's file system must have available before a paused guest is
// continued.
inline constexpr uint64_t kDiskRoomBytes = 64ull << 20;

// Removes the run directory's disk-error marker (disk_error_marker_path).
void clear_disk_error_marker(const HelperConfig& config);

}  // namespace kelvo
