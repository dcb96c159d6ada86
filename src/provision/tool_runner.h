#pragma once

#include <expected>
#include <functional>
#include <string>
#include <vector>

namespace kelvo {

// Runs an external program found through PATH with standard input from the
// null device and both output streams captured (so nothing a tool prints
// reaches the event stream). Both pipes are drained while the child runs;
// there is no time limit. Errors: "spawn {program}: {reason}" or
// "{program} exited with {status}: {trimmed standard error}".
//
// A provision cancelled by a signal (see CancelSignals) ends the tool it
// runs (SIGTERM, then SIGKILL after 2 s; every wait bounded) with the error
// "{program} stopped", and starts no further tool: "{program} not started".
// The tool gets SIGKILL when the thread that started it dies, so a provision
// killed outright leaves no tool behind.

// Returns the child's standard output, decoded as UTF-8 with invalid
// sequences replaced, untrimmed. A descriptor given as input (it stays the
// caller's) is the child's standard input instead of the null device.
std::expected<std::string, std::string> run_tool_capture(const std::string& program,
                                                         const std::vector<std::string>& args,
                                                         int input = -1);

// Like run_tool_capture; the child's output is read and dropped. A tool that
// writes guest data runs with private_files: what it creates is its owner's
// alone (file-creation mask 077). `tick`, when given, runs every 500 ms or so
// while the tool runs (a download shows its progress so).
std::expected<void, std::string> run_tool(const std::string& program,
                                          const std::vector<std::string>& args,
                                          bool private_files = false,
                                          const std::function<void()>& tick = {});

}  // namespace kelvo
