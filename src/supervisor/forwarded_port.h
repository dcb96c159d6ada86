#pragma once

#include <sys/types.h>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

// The guest's SSH server is reached through a port that QEMU's user network
// forwards from 127.0.0.1. A banner on that port proves the guest only when
// the listening socket is QEMU's own: another VM with the same port, or
// another user who took it first, would answer just as well.

// Binds 127.0.0.1:port for a moment (as QEMU will, address reuse allowed),
// so that a port another program listens on is refused before QEMU is
// started: "ssh_host_port {port}: 127.0.0.1:{port} is already in use by
// another program" or "ssh_host_port {port}: bind 127.0.0.1:{port}: {error}".
std::expected<void, std::string> check_port_free(uint16_t port);

// The socket inodes listening on port in the text of /proc/net/tcp or
// /proc/net/tcp6 (any local address).
std::vector<uint64_t> listening_inodes(std::string_view proc_net_tcp, uint16_t port);

// Whether the socket listening on port is one of process pid's descriptors.
// Nothing when /proc cannot tell (not mounted, descriptors unreadable).
std::optional<bool> listener_held_by(pid_t pid, uint16_t port);

}  // namespace kelvo
