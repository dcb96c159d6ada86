#include <algorithm>
#include <cerrno>
#include <thread>

#include <fmt/format.h>

#include "cli/commands.h"
#include "cli/log_follower.h"
#include "cli/log_tail.h"
#include "common/files.h"
#include "common/os_error.h"
#include "common/output.h"
#include "common/text.h"

namespace kelvo {

namespace {

constexpr uint64_t kDefaultLineCount = 50;

// The value after the first "-n" when it is an unsigned number, else 50.
uint64_t line_count(const std::vector<std::string>& args) {
    const auto n = std::find(args.begin(), args.end(), "-n");
    unsigned long long value = 0;
    if (n != args.end() && n + 1 != args.end() && parse_unsigned(*(n + 1), UINT64_MAX, value))
        return value;
    return kDefaultLineCount;
}

}  // namespace

CommandResult logs_command(const VmEntry& vm, const std::vector<std::string>& args) {
    const bool follow = has_flag(args, "-f") || has_flag(args, "--follow");
    const bool console = has_flag(args, "--console");
    const uint64_t count = line_count(args);
    const std::string path = console ? vm.config.console_log_path : event_log_path(vm);

    auto file = open_regular_file(path);
    if (!file && file.error() == os_error(ENOENT))
        return std::unexpected(fmt::format("{} does not exist — '{}' has not {} yet",
                                           path_text(path), vm.shown,
                                           console ? "booted" : "been started"));
    // A directory, a named pipe or a device, or a file this user may not read.
    if (!file)
        return std::unexpected(fmt::format("cannot read {}: {}", path_text(path), file.error()));
    // Only the last lines are read: a console log may be far larger than the
    // memory this command may use. A serial console carries bytes that are
    // not UTF-8 (firmware draws its boxes in code page 437): each is shown as
    // U+FFFD.
    const auto from = tail_start(file->fd.get(), file->size, count);
    if (!from)
        return std::unexpected(fmt::format("cannot read {}: {}", path_text(path), from.error()));
    const auto printed = copy_lines(file->fd.get(), *from, file->size,
                                    [](std::string_view text) { return print_stdout(text); });
    if (!printed)
        return std::unexpected(fmt::format("cannot read {}: {}", path_text(path), printed.error()));
    // Standard output closed: stop quietly, as below.
    if (!*printed || !follow) return {};

    LogFollower follower(file->fd.release(), file->size);
    std::string out;
    for (;;) {
        out.clear();
        for (const std::string& line : read_new_lines(follower)) out += line + "\n";
        // Nobody reads any more (standard output closed): stop quietly.
        if (!out.empty() && !print_stdout(out)) return {};
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace kelvo
