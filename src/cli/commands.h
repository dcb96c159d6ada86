#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <vector>

#include "cli/vm_store.h"

namespace kelvo {

// What a management command returns: success, or the message the front end
// prints after "kelvo-vmhelper: ".
using CommandResult = std::expected<void, std::string>;

// A command that takes <vm>: the resolved entry and the unchanged arguments.
using VmCommand = CommandResult (*)(const VmEntry& vm, const std::vector<std::string>& args);

// Poll interval of every management command that waits.
inline constexpr std::chrono::milliseconds kPollInterval{500};

CommandResult cmd_list(const std::vector<std::string>& args);
CommandResult cmd_status(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult cmd_start(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult cmd_stop(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult cmd_hibernate(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult cmd_logs(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult cmd_delete(const VmEntry& vm, const std::vector<std::string>& args);

// True when some argument is exactly word.
bool has_flag(const std::vector<std::string>& args, std::string_view word);

}  // namespace kelvo
