#include "supervisor/control_command.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <string>

#include "common/json.h"
#include "common/text.h"

namespace kelvo {

namespace {

// A command line is a few dozen bytes; a longer "line" is dropped whole
// instead of being buffered without end.
constexpr size_t kMaxLine = 1 << 20;

void take_line(std::string_view line, ControlChannel& channel) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (auto request = parse_control_command(line)) channel.send(*request);
}

// Waits until fd is readable; false when that cannot be waited for.
bool wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        if (::poll(&p, 1, -1) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

std::optional<ControlRequest> parse_control_command(std::string_view line) {
    const std::string_view text = trim(line);
    if (text.empty()) return std::nullopt;
    const auto value = parse_json_line(text);
    if (!value || !value->is_object()) return std::nullopt;
    const auto cmd = value->find("cmd");
    if (cmd == value->end() || !cmd->is_string()) return std::nullopt;
    const auto& word = cmd->get_ref<const std::string&>();
    if (word == "stop") return ControlRequest::Stop;
    if (word == "kill") return ControlRequest::Kill;
    if (word == "hibernate") return ControlRequest::Hibernate;
    return std::nullopt;
}

void read_control_commands(int fd, ControlChannel& channel) {
    std::string pending;
    bool overlong = false;  // dropping the rest of a line longer than kMaxLine
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Standard input inherited in non-blocking mode.
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_readable(fd)) continue;
            return;
        }
        if (n == 0) break;
        std::string_view chunk(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = chunk.find('\n')) != std::string_view::npos;) {
            if (!overlong) {
                pending.append(chunk.substr(0, nl));
                take_line(pending, channel);
            }
            pending.clear();
            overlong = false;
            chunk.remove_prefix(nl + 1);
        }
        if (!overlong) pending.append(chunk);
        if (pending.size() > kMaxLine) {
            pending.clear();
            overlong = true;
        }
    }
    if (!overlong) take_line(pending, channel);
    channel.send(ControlRequest::InputClosed);
}

}  // namespace kelvo
