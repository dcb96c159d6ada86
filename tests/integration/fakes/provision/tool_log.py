"""Shared by the fake tools: record a call and honour a failure switch."""
import json
import os
import sys


def record(tool):
    """Appends {"tool": tool, "argv": [...]} to $FAKE_TOOL_LOG."""
    log = os.environ.get("FAKE_TOOL_LOG")
    if log:
        with open(log, "a") as f:
            f.write(json.dumps({"tool": tool, "argv": sys.argv[1:]}) + "\n")


def fail_if_asked(tool, word=None):
    """Exits 1 with a message on standard error when $FAKE_FAIL names tool
    (or "tool:word" for one subcommand); several names are comma-separated."""
    wanted = os.environ.get("FAKE_FAIL", "").split(",")
    if tool in wanted or (word and f"{tool}:{word}" in wanted):
        sys.stderr.write(f"{tool}: failed as asked\n")
        sys.exit(1)
