#pragma once

#include <string>

namespace kelvo {

// A hibernated VM's snapshot: its save_path names a non-empty file
// (symbolic links followed). Such a VM shows as hibernated, and its next
// start resumes from the snapshot instead of booting. An empty save_path
// has no snapshot.
bool snapshot_present(const std::string& save_path);

}  // namespace kelvo
