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

CommandLines::CommandLines(ControlChannel& channel) : channel_(channel) {}

void CommandLines::feed(std::string_view chunk) {
    for (size_t nl; (nl = chunk.find('\n')) != std::string_view::npos;) {
        if (!overlong_) {
            pending_.append(chunk.substr(0, nl));
            take_line(pending_, channel_);
        }
        pending_.clear();
        overlong_ = false;
        chunk.remove_prefix(nl + 1);
    }
    if (!overlong_) pending_.append(chunk);
    if (pending_.size() > kMaxLine) {
        pending_.clear();
        overlong_ = true;
    }
}

void CommandLines::finish() {
    if (!overlong_) take_line(pending_, channel_);
    pending_.clear();
    channel_.send(ControlRequest::InputClosed);
}

void read_control_commands(int fd, ControlChannel& channel) {
    CommandLines lines(channel);
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
        lines.feed(std::string_view(buf, static_cast<size_t>(n)));
    }
    lines.finish();
}

}  // namespace kelvo
