#include "cli/management.h"

#include <array>
#include <csignal>
#include <utility>

#include <fmt/format.h>

#include "cli/commands.h"
#include "common/os_error.h"
#include "common/output.h"
#include "common/text.h"

namespace kelvo {

namespace {

// The commands that take <vm>, in lookup order.
constexpr std::array<std::pair<std::string_view, VmCommand>, 6> kVmCommands{{
    {"status", status_command},
    {"start", start_command},
    {"stop", stop_command},
    {"hibernate", hibernate_command},
    {"logs", logs_command},
    {"delete", delete_command},
}};

CommandResult call_command(std::string_view command, const std::vector<std::string>& args) {
    if (command == "list" || command == "ls") return list_command(args);
    for (const auto& [word, handler] : kVmCommands) {
        if (word != command) continue;
        auto vm = resolve_vm(args);
        if (!vm) return std::unexpected(vm.error());
        return handler(*vm, args);
    }
    return std::unexpected(
        fmt::format("unknown command '{}' — run 'kelvo-vmhelper help' for usage", command));
}

}  // namespace

bool has_flag(const std::vector<std::string>& args, std::string_view word) {
    for (const auto& a : args)
        if (a == word) return true;
    return false;
}

int run_management(std::string_view command, const std::vector<std::string>& args) {
    // A reader that goes away (a pager that quits) ends the process quietly
    // instead of turning into write errors.
    std::signal(SIGPIPE, SIG_DFL);
    auto result = call_command(command, args);
    // Output that did not arrive is a failure, whatever the command made of it.
    if (status_after_output(0) != 0) return 1;
    if (result) return 0;
    print_stderr(fmt::format("kelvo-vmhelper: {}\n", escape_control(result.error())));
    return 1;
}

}  // namespace kelvo
