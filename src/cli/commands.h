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

CommandResult list_command(const std::vector<std::string>& args);
CommandResult status_command(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult start_command(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult stop_command(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult hibernate_command(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult logs_command(const VmEntry& vm, const std::vector<std::string>& args);
CommandResult delete_command(const VmEntry& vm, const std::vector<std::string>& args);

// True when some argument is exactly word.
bool has_flag(const std::vector<std::string>& args, std::string_view word);

}  // namespace kelvo
