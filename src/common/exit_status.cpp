#include "common/exit_status.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>

#include <fmt/format.h>

namespace kelvo {

std::string signal_name(int signal_number) {
    const char* abbrev = sigabbrev_np(signal_number);
    return abbrev ? fmt::format("SIG{}", abbrev) : std::string();
}

std::string describe_wait_status(int wait_status) {
    if (WIFEXITED(wait_status)) return fmt::format("exit status: {}", WEXITSTATUS(wait_status));
    if (WIFSIGNALED(wait_status)) {
        const int sig = WTERMSIG(wait_status);
        const std::string name = signal_name(sig);
        std::string text = name.empty() ? fmt::format("signal: {}", sig)
                                        : fmt::format("signal: {} ({})", sig, name);
        if (WCOREDUMP(wait_status)) text += " (core dumped)";
        return text;
    }
    return fmt::format("unknown wait status: {}", wait_status);
}

bool wait_status_success(int wait_status) {
    return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

}  // namespace kelvo
