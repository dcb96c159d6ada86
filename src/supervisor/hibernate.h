#pragma once

#include <string>

#include <asio/awaitable.hpp>

#include "supervisor/session.h"

namespace kelvo {

// "exec:cat > {shell-quoted partial path}": QEMU runs it through the shell
// and writes the migration stream to its standard input.
std::string save_uri(const std::string& save_path);

// Handles a Hibernate request: pauses the guest, migrates its state into the
// partial file, polls the migration every migrate_poll for up to
// hibernate_limit, moves the finished snapshot to save_path, emits
// `hibernated`, quits and kills QEMU and sets s.hibernated. Any failure emits
// an `error`, resumes the guest with `cont` and leaves the VM running.
asio::awaitable<void> hibernate(Supervisor& s);

}  // namespace kelvo
