#include "main/dispatch.h"

#include <cerrno>
#include <csignal>

#include <fmt/format.h>

#include "cli/management.h"
#include "common/output.h"
#include "config/helper_config.h"
#include "events/events.h"
#include "machine/arch.h"
#include "main/help_text.h"
#include "provision/provision_command.h"
#include "provision/validate.h"
#include "supervisor/run_command.h"

namespace kelvo {

namespace {

int print_help(int status) {
    // A reader that closes the pipe early (a pager) ends the process quietly.
    std::signal(SIGPIPE, SIG_DFL);
    print_stdout(help_text());
    return status_after_output(status);
}

bool is_plumbing(std::string_view word) {
    return word == "run" || word == "validate" || word == "provision";
}

}  // namespace

asio::awaitable<int> dispatch(std::vector<std::string> args) {
    if (args.size() < 2) co_return print_help(2);
    const std::string& word = args[1];
    if (word == "version" || word == "--version" || word == "-V") {
        print_stdout(fmt::format("{}\n", program_version()));
        // A reader that left early is no failure; a closed descriptor is.
        co_return stdout_write_error() == EPIPE ? 0 : status_after_output(0);
    }
    if (word == "help" || word == "--help" || word == "-h") co_return print_help(0);
    if (is_plumbing(word)) {
        if (args.size() < 4 || args[2] != "--config") {
            print_stderr(fmt::format("usage: kelvo-vmhelper {} --config <helper.json>\n", word));
            co_return 2;
        }
        auto config = load_helper_config(args[3]);
        if (!config) {
            emit_error(config.error());
            co_return 2;
        }
        if (word == "run") co_return co_await run_command(*config, kBuildArch);
        if (word == "validate") co_return validate_command(*config, kBuildArch);
        co_return provision_command(*config, kBuildArch);
    }
    co_return run_management(word, std::vector<std::string>(args.begin() + 2, args.end()));
}

}  // namespace kelvo
