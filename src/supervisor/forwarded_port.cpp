#include "supervisor/forwarded_port.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <charconv>

#include <fmt/format.h>

#include "common/files.h"
#include "common/os_error.h"
#include "common/text.h"
#include "common/unique_fd.h"

namespace kelvo {

namespace {

constexpr std::string_view kListenState = "0A";

}  // namespace

std::expected<void, std::string> check_port_free(uint16_t port) {
    const UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return {};  // QEMU reports what it cannot do itself
    const int on = 1;
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return {};
    if (errno == EADDRINUSE)
        return std::unexpected(fmt::format(
            "ssh_host_port {0}: 127.0.0.1:{0} is already in use by another program", port));
    return std::unexpected(
        fmt::format("ssh_host_port {0}: bind 127.0.0.1:{0}: {1}", port, last_os_error()));
}

std::vector<uint64_t> listening_inodes(std::string_view proc_net_tcp, uint16_t port) {
    // "  sl  local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode"
    std::vector<uint64_t> inodes;
    const std::string port_hex = fmt::format(":{:04X}", port);
    for (std::string_view line : split_lines(proc_net_tcp)) {
        const auto fields = split_fields(line);
        if (fields.size() < 10 || fields[3] != kListenState || !fields[1].ends_with(port_hex))
            continue;
        uint64_t inode = 0;
        const auto [end, ec] =
            std::from_chars(fields[9].data(), fields[9].data() + fields[9].size(), inode);
        if (ec == std::errc() && end == fields[9].data() + fields[9].size() && inode != 0)
            inodes.push_back(inode);
    }
    return inodes;
}

std::optional<bool> listener_held_by(pid_t pid, uint16_t port) {
    std::vector<uint64_t> inodes;
    bool readable = false;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        if (auto text = read_regular_file(table)) {
            readable = true;
            for (uint64_t inode : listening_inodes(*text, port)) inodes.push_back(inode);
        }
    }
    if (!readable) return std::nullopt;
    if (inodes.empty()) return false;

    const std::string fd_dir = fmt::format("/proc/{}/fd", pid);
    DIR* dir = ::opendir(fd_dir.c_str());
    if (dir == nullptr) return std::nullopt;
    bool held = false;
    while (const dirent* entry = ::readdir(dir)) {
        char target[64];
        const std::string link = fd_dir + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string_view text(target, static_cast<size_t>(n));
        for (uint64_t inode : inodes) held = held || text == fmt::format("socket:[{}]", inode);
    }
    ::closedir(dir);
    return held;
}

}  // namespace kelvo
