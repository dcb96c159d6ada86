#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/signal_set.hpp>

#include "supervisor/control_requests.h"

namespace kelvo {

// Where control requests come from: signals, and in attached mode the
// commands on standard input.

// SIGTERM and SIGINT mean Stop, SIGUSR1 means Hibernate.
class SignalWatcher {
  public:
    // Registers SIGTERM, SIGINT and SIGUSR1 at once: from then on such a
    // signal is kept for watch(), never lost and never the end of the
    // process. If a registration fails the signals keep their default
    // behaviour and watch() sends nothing.
    explicit SignalWatcher(const asio::any_io_executor& executor);

    // Turns deliveries into requests until cancelled. The registration stays
    // for the rest of the process, so a signal arriving while the process
    // ends is ignored rather than fatal.
    asio::awaitable<void> watch(std::shared_ptr<ControlChannel> channel);

  private:
    asio::signal_set* signals_ = nullptr;  // never freed (see watch())
};

// True when KELVO_HELPER_ATTACHED is present with a valid UTF-8 value (the
// empty string included): only then is standard input read.
bool attached_mode();

// One standard-input line of an attached supervisor: a JSON object whose
// string member `cmd` is "stop", "kill" or "hibernate" (exact, case-sensitive;
// other members ignored). Anything else yields nothing.
std::optional<ControlRequest> parse_control_command(std::string_view line);

// Splits input into command lines and sends their requests. A line longer
// than 1 MiB is dropped whole instead of being buffered without end.
class CommandLines {
  public:
    explicit CommandLines(ControlChannel& channel);
    // Takes the next bytes read.
    void feed(std::string_view chunk);
    // End of input: a last line without "\n" still counts; sends InputClosed.
    void finish();

  private:
    ControlChannel& channel_;
    std::string pending_;
    bool overlong_ = false;  // dropping the rest of a line longer than the limit
};

// Reads commands from fd until end of input (then sends InputClosed) or a
// read error (then sends nothing). Lines end at "\n"; a "\r" before it is
// dropped; a last line without "\n" still counts. Blocks the calling thread.
void read_control_commands(int fd, ControlChannel& channel);

// Starts the standard-input command reader on a thread of its own, so a
// blocking read never holds up the supervisor. The thread is detached and
// ends at end of input or on a read error. Where no thread can be created,
// a task on executor polls standard input instead.
void start_command_reader(const asio::any_io_executor& executor,
                          std::shared_ptr<ControlChannel> channel);

}  // namespace kelvo
