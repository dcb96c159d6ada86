#include <unistd.h>
#include <cerrno>
#include <optional>

#include <fmt/format.h>

#include "cli/commands.h"
#include "cli/process_table.h"
#include "common/files.h"
#include "common/os_error.h"
#include "common/output.h"
#include "common/text.h"
#include "machine/run_lock.h"

namespace kelvo {

namespace {

constexpr std::string_view kNoConfirmation = "no confirmation (non-interactive?) — pass --yes";
constexpr size_t kMaxAnswerBytes = 1 << 20;

// One line from standard input, read byte by byte so that nothing after it
// is consumed. End of input gives what was read so far.
std::expected<std::string, std::string> read_answer() {
    std::string line;
    for (;;) {
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A closed standard input counts as the end of input.
            if (errno == EBADF) break;
            return std::unexpected(std::string(kNoConfirmation));
        }
        if (n == 0) break;
        line += c;
        if (c == '\n') break;
        // An answer is a short line; an endless one (a device in place of
        // a terminal) is no answer.
        if (line.size() >= kMaxAnswerBytes) return std::unexpected(std::string(kNoConfirmation));
    }
    if (!is_valid_utf8(line)) return std::unexpected(std::string(kNoConfirmation));
    return line;
}

bool accepted(std::string_view answer) {
    answer = trim(answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

// Why the VM cannot be deleted now: its helper or its QEMU runs.
std::optional<std::string> running(const VmEntry& vm) {
    const HelperLookup helper = lookup_helper(vm);
    if (helper.pid)
        return fmt::format("'{}' is running (helper pid {}) — stop it first", vm.shown,
                           *helper.pid);
    if (helper.runs) return unfound_helper_message(vm);
    if (const auto qemus = find_vm_qemu_pids(vm.config.disk_path); !qemus.empty())
        return fmt::format("'{}' is running (QEMU pid {}) — stop it first", vm.shown,
                           qemus.front());
    return std::nullopt;
}

}  // namespace

CommandResult delete_command(const VmEntry& vm, const std::vector<std::string>& args) {
    if (auto refused = running(vm)) return std::unexpected(*refused);
    if (!has_flag(args, "--yes")) {
        print_stderr(fmt::format("Delete '{}' and all its files under {}? [y/N] ", vm.shown,
                                 escape_control(path_text(vm.dir))));
        auto answer = read_answer();
        if (!answer) return std::unexpected(answer.error());
        if (!accepted(*answer)) return std::unexpected("aborted");
    }
    // The VM may have been started while the question waited (by the app,
    // or in another terminal). Its run lock, held from here to the end of
    // the removal, keeps any helper from starting meanwhile.
    if (auto refused = running(vm)) return std::unexpected(*refused);
    auto lock = try_lock_run(vm.config);
    if (lock && !*lock) return std::unexpected(unfound_helper_message(vm));
    // helper.json goes last: a delete that fails part-way leaves a VM that
    // list still shows and a second delete can finish.
    if (auto removed = remove_tree(vm.dir, "helper.json"); !removed)
        return std::unexpected(fmt::format("remove {}: {}", path_text(vm.dir), removed.error()));
    print_stdout(fmt::format(
        "deleted '{}' from this host (an Kelvo-side record, if any, remains in the app)\n",
        vm.shown));
    return {};
}

}  // namespace kelvo
