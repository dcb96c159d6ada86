#include "cli/management.h"

#include <csignal>

#include <fmt/format.h>

#include "common/output.h"

namespace kelvo {

int run_management(std::string_view command, const std::vector<std::string>&) {
    std::signal(SIGPIPE, SIG_DFL);
    print_stderr(fmt::format(
        "kelvo-vmhelper: unknown command '{}' — run 'kelvo-vmhelper help' for usage\n", command));
    return 1;
}

}  // namespace kelvo
