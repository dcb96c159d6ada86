#pragma once

namespace kelvo {

// Cancellation of a provision by SIGTERM, SIGINT or SIGHUP (the desktop app
// cancels with SIGTERM; a terminal sends SIGINT or SIGHUP). While a
// CancelSignals lives, these signals no longer end the process: the first one
// is recorded, and every wait of provision (for a tool, for the image cache
// lock) ends at it, so that provision can stop its tool and remove what the
// tool was writing before it ends. One at a time per process.
class CancelSignals {
  public:
    // Where the handlers cannot be installed the signals keep their default
    // action (they end the process, as before).
    CancelSignals();
    // Restores the dispositions found and forgets the signal.
    ~CancelSignals();
    CancelSignals(const CancelSignals&) = delete;
    CancelSignals& operator=(const CancelSignals&) = delete;
};

// The number of the first signal received while a CancelSignals lives; 0
// while none has come.
int cancel_signal();

// A descriptor that becomes readable at that first signal and stays
// readable (never read from it); -1 while no CancelSignals lives, which
// poll() ignores.
int cancel_fd();

}  // namespace kelvo
