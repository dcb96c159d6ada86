#!/usr/bin/env python3
"""Stands in for a detached helper process (or, without "run", for any other
process such as a QEMU). Its command line carries whatever arguments it was
given, so `fake_helper.py run --config <path>` looks like the helper of the VM
whose helper.json is <path>.

Options (before the pass-through arguments):
  --ready FILE        create FILE once the signal handlers are in place
  --log FILE          event log to append to (default: helper.out beside the config)
  --on-term MODE      SIGTERM: "stop" (append the powerdown events, exit) or "ignore"
  --on-usr1 MODE      SIGUSR1: "snapshot:BYTES" (write save_path, append events,
                      exit), "nosnapshot" (exit without a snapshot), "error"
                      (append an error, keep running) or "saving" (append the
                      saving state and keep running: a save that never ends)
  --save FILE         snapshot file for --on-usr1 snapshot
  --lifetime SECONDS  exit by itself after this long (default 120)
"""

import json
import os
import signal
import sys
import time


def main():
    args = sys.argv[1:]
    opts = {"--ready": None, "--log": None, "--on-term": "stop", "--on-usr1": "error",
            "--save": None, "--lifetime": "120"}
    while args and args[0] in opts:
        opts[args[0]] = args[1]
        args = args[2:]
    log = opts["--log"]
    if log is None and "--config" in args:
        config = args[args.index("--config") + 1]
        log = os.path.join(os.path.dirname(config), "helper.out")

    def emit(*records):
        if log is None:
            return
        with open(log, "a") as f:
            for r in records:
                f.write(r if isinstance(r, str) else json.dumps(r, separators=(",", ":"), sort_keys=True))
                f.write("\n")

    def on_term(signum, frame):
        if opts["--on-term"] == "ignore":
            return
        emit({"event": "log", "line": "graceful powerdown requested"},
             {"event": "log", "line": "qemu exited cleanly"},
             {"event": "state", "state": "stopped"})
        os._exit(0)

    def on_usr1(signum, frame):
        mode = opts["--on-usr1"]
        emit({"event": "log", "line": "hibernate requested"})
        if mode.startswith("snapshot:"):
            emit({"event": "state", "state": "saving"})
            with open(opts["--save"], "wb") as f:
                f.truncate(int(mode.split(":", 1)[1]))
            emit({"event": "state", "state": "hibernated"})
            os._exit(0)
        if mode == "saving":
            emit({"event": "state", "state": "saving"})
            return
        if mode == "nosnapshot":
            emit("qemu: terminating on signal 15", {"event": "state", "state": "stopped"})
            os._exit(0)
        emit({"event": "error", "message": "cannot hibernate: QMP unavailable"})

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGUSR1, on_usr1)
    if opts["--ready"]:
        with open(opts["--ready"], "w"):
            pass
    deadline = time.monotonic() + float(opts["--lifetime"])
    while time.monotonic() < deadline:
        time.sleep(0.05)


if __name__ == "__main__":
    main()
