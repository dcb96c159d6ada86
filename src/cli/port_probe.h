#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace kelvo {

// How long one probe of a forwarded port may take in total.
inline constexpr std::chrono::milliseconds kPortProbeLimit{400};

// True when a TCP connection to 127.0.0.1:port is established and the peer's
// first four bytes are "SSH-" within the probe limit. QEMU's user network
// accepts connections long before the guest's sshd answers, so the accept
// alone proves nothing. Port 0 is never open. The connection is closed at
// once; nothing is sent.
bool port_open(uint16_t port);

// port_open for several ports at the same time: all probes share one window
// of the probe limit. The result has one answer per port, in order.
std::vector<bool> ports_open(const std::vector<uint16_t>& ports);

}  // namespace kelvo
