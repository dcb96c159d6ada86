#include "supervisor/hibernate.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>

#include <fmt/format.h>

#include "common/files.h"
#include "common/os_error.h"
#include "events/events.h"
#include "machine/shell_quote.h"
#include "machine/snapshot.h"

namespace kelvo {

namespace {

constexpr uint64_t kMaxBandwidth = 8000000000;
// Less free space than this after a failed snapshot: the file system filled.
constexpr uint64_t kFullFileSystemBytes = 1 << 20;

void remove_file(const std::string& path) {
    (void)::unlink(path.c_str());
}

// Why a migration failed, as far as can be told: QEMU's own description
// (only "Unable to write to command: Broken pipe" when the writer died), and
// whether the partial snapshot ran into a full file system or into the
// file-size limit that QEMU's writer inherited.
std::string failure_detail(const nlohmann::json& reply, const std::string& partial) {
    std::string detail;
    if (reply.is_object()) {
        if (auto desc = reply.find("error-desc"); desc != reply.end() && desc->is_string())
            detail = ": " + desc->get<std::string>();
    }
    const auto size = file_size(partial);
    if (!size) return detail;
    struct statvfs fs;
    struct rlimit limit;
    if (::statvfs(partial.c_str(), &fs) == 0 &&
        static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < kFullFileSystemBytes) {
        detail += fmt::format(" (no space left on the file system of {})", partial);
    } else if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
               *size >= limit.rlim_cur) {
        detail += fmt::format(" (the snapshot reached the file size limit of {} bytes)",
                              static_cast<uint64_t>(limit.rlim_cur));
    }
    return detail;
}

}  // namespace

std::string save_uri(const std::string& save_path) {
    return "exec:cat > " + shell_quote(partial_snapshot_path(save_path));
}

asio::awaitable<void> hibernate(Supervisor& s) {
    // 1. Check that a snapshot can be taken at all.
    emit_log("hibernate requested");
    const std::string& save_path = s.config.save_path;
    if (save_path.empty()) {
        emit_error("cannot hibernate: save_path not set in helper.json");
        co_return;
    }
    if (auto conflict = save_path_conflict(s.config)) {
        emit_error("cannot hibernate: " + *conflict);
        co_return;
    }
    if (!s.qmp) {
        emit_error("cannot hibernate: QMP unavailable");
        co_return;
    }
    // 2. Pause the guest and stream its state into the partial file. From
    //    `saving` on the guest is not said to be running, unless the
    //    attempt fails and the guest runs on.
    struct Withheld {
        Supervisor& s;
        ~Withheld() { s.running_withheld = s.hibernated; }
    } withheld{s};
    s.running_withheld = true;
    emit_state(VmState::Saving);
    const std::string partial = partial_snapshot_path(save_path);
    remove_file(partial);
    // The snapshot holds the guest's whole memory: the file exists, the
    // owner's alone, before the writer opens it (the shell's `>` keeps it).
    if (auto created = open_private_file(partial, O_TRUNC); !created) {
        emit_error("hibernate: create " + partial + ": " + created.error());
        co_return;
    }
    // (Arguments are built outside the co_await expressions: GCC 12 cannot
    // keep braced temporaries alive across a suspension.)
    nlohmann::json bandwidth = nlohmann::json::object();
    bandwidth["max-bandwidth"] = kMaxBandwidth;
    nlohmann::json uri = nlohmann::json::object();
    uri["uri"] = save_uri(save_path);
    (void)co_await qmp_call(s, "migrate-set-parameters", std::move(bandwidth));
    (void)co_await qmp_call(s, "stop");
    if (auto started = co_await qmp_call(s, "migrate", std::move(uri)); !started) {
        emit_error("hibernate: migrate failed to start: " + started.error());
        co_await qmp_cont(s);
        co_return;
    }

    // 3. Poll the migration until it completes, fails or runs out of time.
    const auto deadline = Clock::now() + s.timings.hibernate_limit;
    for (;;) {
        co_await sleep_for(s.timings.migrate_poll);
        if (qemu_ended(s)) {
            // Nothing left to resume; the supervision loop reports the end.
            emit_error("hibernate: qemu exited before the snapshot was complete");
            remove_file(partial);
            co_return;
        }
        if (auto reply = co_await qmp_query(s, "query-migrate"); !reply) {
            emit_log("hibernate: query-migrate: " + reply.error());
        } else if (const std::string status = QmpClient::status_of(*reply); status == "completed") {
            break;
        } else if (status == "failed" || status == "cancelled") {
            // (The partial file is gone by the time the error is told.)
            const std::string detail = failure_detail(*reply, partial);
            remove_file(partial);
            emit_error("hibernate: migration " + status + detail);
            co_await qmp_cont(s);
            co_return;
        }
        if (Clock::now() > deadline) {
            emit_error("hibernate: timed out");
            // Stop the writer before resuming, so the guest does not run on
            // while its memory is still being streamed out.
            (void)co_await qmp_call(s, "migrate_cancel");
            remove_file(partial);
            co_await qmp_cont(s);
            co_return;
        }
    }

    // 4. Move the snapshot into place, on stable storage before it counts,
    //    and end QEMU.
    if (auto synced = sync_file(partial); !synced) {
        remove_file(partial);
        emit_error("hibernate: finalize snapshot: " + synced.error());
        co_await qmp_cont(s);
        co_return;
    }
    if (::rename(partial.c_str(), save_path.c_str()) != 0) {
        emit_error("hibernate: finalize snapshot: " + last_os_error());
        co_await qmp_cont(s);
        co_return;
    }
    if (auto synced = sync_parent_dir(save_path); !synced) {
        // Not on stable storage: it must not outlive the guest it left.
        remove_file(save_path);
        emit_error("hibernate: finalize snapshot: " + synced.error());
        co_await qmp_cont(s);
        co_return;
    }
    emit_state(VmState::Hibernated);
    co_await qmp_quit(s);
    kill_qemu(s);
    s.hibernated = true;
}

}  // namespace kelvo
