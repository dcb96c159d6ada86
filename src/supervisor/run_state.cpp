#include "supervisor/run_state.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <optional>

#include <fmt/format.h>
#include <asio/experimental/awaitable_operators.hpp>

#include "common/files.h"
#include "events/events.h"
#include "machine/run_dir.h"

namespace kelvo {

namespace {

constexpr std::string_view kDiskErrorCleared = "disk error cleared; the guest runs again";

// The first line of QEMU's log, trimmed; empty when there is none.
std::string first_log_line(const std::string& text) {
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return {};
    std::string line = text.substr(start, text.find('\n', start) - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// Bytes this process may still write on the file system that holds path.
std::optional<uint64_t> available_bytes(const std::string& path) {
    struct statvfs fs;
    if (::statvfs(path.c_str(), &fs) != 0) return std::nullopt;
    const uint64_t blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    return blocks * fs.f_frsize;
}

std::string string_member(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return {};
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Quits QEMU, and kills it when it has not ended within quit_limit.
asio::awaitable<void> end_qemu(Supervisor& s) {
    using namespace asio::experimental::awaitable_operators;
    co_await qmp_quit(s);
    auto ended = co_await (async_wait(s.qemu) || sleep_for(s.timings.quit_limit));
    if (ended.index() != 0) kill_qemu(s);
}

asio::awaitable<void> fail_stopped_guest(Supervisor& s, const std::string& status) {
    const std::string log_path = qemu_log_path(s.config);
    emit_error(
        stopped_guest_message(status, read_regular_file(log_path, 4096).value_or(""), log_path));
    s.failed = true;
    co_await end_qemu(s);
}

void pause_on_disk_error(Supervisor& s) {
    if (s.disk_error) return;
    s.disk_error = true;
    s.disk_retry = Clock::now() + s.timings.disk_retry;
    // Marked before it is told, so that whoever reads the line finds the
    // mark. An empty file: it needs no data block on a full file system.
    (void)open_private_file(disk_error_marker_path(s.config), O_TRUNC);
    emit_log(disk_error_line(s.block_io_error));
}

void disk_error_cleared(Supervisor& s) {
    if (!s.disk_error) return;
    s.disk_error = false;
    s.disk_retry.reset();
    clear_disk_error_marker(s.config);
    emit_log(kDiskErrorCleared);
}

}  // namespace

bool run_state_is_fatal(std::string_view status) {
    return status == "internal-error" || status == "guest-panicked";
}

bool changes_run_state(const nlohmann::json& event) {
    const std::string name = string_member(event, "event");
    return name == "STOP" || name == "RESUME" || name == "GUEST_PANICKED" ||
           name == "BLOCK_IO_ERROR";
}

std::string stopped_guest_message(std::string_view status, std::string_view qemu_log_text,
                                  const std::string& qemu_log_path) {
    const std::string line = first_log_line(std::string(qemu_log_text));
    if (line.empty())
        return fmt::format("qemu stopped the guest ({}) (see {})", status, qemu_log_path);
    return fmt::format("qemu stopped the guest ({}): {} (see {})", status, line, qemu_log_path);
}

std::string disk_error_line(const nlohmann::json& block_io_error) {
    const nlohmann::json data =
        block_io_error.is_object() ? block_io_error.value("data", nlohmann::json()) : nullptr;
    std::string device = string_member(data, "device");
    if (device.empty()) device = string_member(data, "node-name");
    std::string reason = string_member(data, "reason");
    const std::string operation = string_member(data, "operation");
    const auto nospace = data.is_object() ? data.find("nospace") : data.end();
    if (reason.empty() && nospace != data.end() && nospace->is_boolean() && nospace->get<bool>())
        reason = "No space left on device";
    std::string what = device.empty() ? "a disk" : device;
    if (!operation.empty()) what += " (" + operation + ")";
    if (!reason.empty()) what += ": " + reason;
    return fmt::format(
        "qemu paused the guest on a disk error: {} — free space on the host; the guest "
        "continues by itself once there is room",
        what);
}

asio::awaitable<void> check_run_state(Supervisor& s) {
    if (!s.qmp || s.failed) co_return;
    auto reply = co_await qmp_query(s, "query-status");
    if (!reply) co_return;
    const std::string status = QmpClient::status_of(*reply);
    if (run_state_is_fatal(status))
        co_await fail_stopped_guest(s, status);
    else if (status == "io-error")
        pause_on_disk_error(s);
    else if (status == "running")
        disk_error_cleared(s);
}

asio::awaitable<void> on_qmp_event(Supervisor& s, const nlohmann::json& event) {
    if (string_member(event, "event") == "BLOCK_IO_ERROR") s.block_io_error = event;
    if (changes_run_state(event)) co_await check_run_state(s);
}

asio::awaitable<void> retry_after_disk_error(Supervisor& s) {
    s.disk_retry = Clock::now() + s.timings.disk_retry;
    // The disk's folder: the disk file itself may be a link elsewhere, but
    // its folder is where QEMU's other files grow too.
    const auto room = available_bytes(vm_run_dir(s.config));
    if (s.qmp && room && *room >= kDiskRoomBytes) co_await qmp_cont(s);
}

void clear_disk_error_marker(const HelperConfig& config) {
    (void)::unlink(disk_error_marker_path(config).c_str());
}

}  // namespace kelvo
