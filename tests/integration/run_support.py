"""Support for the tests of `run`: a VM whose emulator is the fake QEMU, the
supervisor as a child process whose event stream is read line by line with a
limit on every wait, and the fake's own records."""

import json
import os
import signal
import subprocess
import time
import unittest

import kelvo_testlib
from kelvo_testlib import EventReader, Sandbox, free_port, is_gone, wait_until

# Waits for one event. Generous: the build machines are heavily shared.
EVENT_TIMEOUT = 40

FAKE_QEMU = os.path.join("qemu", "qemu-system-x86_64")
SNAPSHOT_MAGIC = b"FAKE-QEMU-SNAPSHOT"

RESUME_FAILED = ("resume failed: guest networking didn't recover (no qemu-guest-agent?) — "
                 "discarded snapshot; start again for a cold boot")


def state(word):
    return {"event": "state", "state": word}


def running(port):
    return {"event": "state", "port": port, "state": "running"}


def log(line):
    return {"event": "log", "line": line}


def error(message):
    return {"event": "error", "message": message}


def snapshot_bytes(size, paused=True):
    """A snapshot as the fake QEMU writes (and checks on load)."""
    pattern = bytes(range(251))
    body = (pattern * (size // len(pattern) + 1))[:size]
    return b"%s paused=%d size=%d\n" % (SNAPSHOT_MAGIC, 1 if paused else 0, size) + body


def pid_alive(pid):
    """True while the process exists and is not a zombie."""
    return not is_gone(pid)


class RunProcess:
    """One `run` child: its standard output read as strict event lines
    (kelvo_testlib.EventReader), every wait bounded."""

    def __init__(self, proc, case):
        self.proc = proc
        self.pid = proc.pid
        self.case = case
        self.started = time.monotonic()
        self.reader = EventReader(proc.stdout)

    @property
    def seen(self):
        return self.reader.seen

    def close_stdout(self):
        """Closes the reading end of `run`'s standard output, as when the
        app's SSH channel goes away."""
        self.reader.stop()
        self.proc.stdout.close()

    def close_pipes(self):
        self.close_stdout()
        for stream in (self.proc.stdin, self.proc.stderr):
            if stream:
                try:
                    stream.close()
                except OSError:
                    pass

    def next_event(self, timeout=EVENT_TIMEOUT):
        """The next event as a dict; fails on a time-out, the end of the
        stream, or a line that is not a compact JSON event."""
        event = self.reader.next_event(timeout)
        if event is None:
            raise AssertionError(f"event stream ended; seen: {self.seen}")
        return event

    def expect(self, *events, timeout=EVENT_TIMEOUT):
        """The next events are exactly these, in order."""
        for want in events:
            got = self.next_event(timeout)
            self.case.assertEqual(got, want, f"events so far: {self.seen}")

    def expect_one_of(self, choices, timeout=EVENT_TIMEOUT):
        got = self.next_event(timeout)
        self.case.assertIn(got, choices, f"events so far: {self.seen}")
        return got

    def no_event_for(self, seconds):
        """Nothing is emitted for this long (the stream stays open)."""
        self.reader.no_event_for(seconds)

    def rest(self, timeout=EVENT_TIMEOUT):
        """Every remaining event up to the end of the stream."""
        return self.reader.rest(timeout)

    def wait(self, timeout=EVENT_TIMEOUT):
        return self.proc.wait(timeout=timeout)

    def finish(self, status=0, timeout=EVENT_TIMEOUT):
        """The stream ends, nothing more is said, and `run` exits with status
        (having written nothing to standard error)."""
        self.case.assertEqual(self.rest(timeout), [], f"events so far: {self.seen}")
        self.case.assertEqual(self.wait(timeout), status)
        self.case.assertEqual(self.proc.stderr.read(), b"")

    def signal(self, number):
        os.kill(self.pid, number)

    def command(self, text):
        """Writes one line to the standard input of an attached supervisor."""
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def children(self):
        out = []
        for task in os.listdir(f"/proc/{self.pid}/task"):
            try:
                with open(f"/proc/{self.pid}/task/{task}/children") as f:
                    out += [int(p) for p in f.read().split()]
            except OSError:
                pass
        return sorted(out)


class RunCase(unittest.TestCase):
    """A VM "vm1" in a sandbox whose emulator is the fake QEMU, with a free
    forwarded port and firmware given through firmware_path."""

    BOOT_DELAY = "1"

    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.close)
        self.sb.add_fake(kelvo_testlib.QEMU, source=FAKE_QEMU)
        self.firmware = self.sb.make_firmware()
        self.port = free_port()
        self.write_config()
        with open(self.cfg["disk_path"], "wb") as f:  # QEMU's disk, as provisioned
            f.write(b"disk")
        self.qemu_pids = set()
        self.addCleanup(self.end_qemus)

    def write_config(self, **overrides):
        settings = {"ssh_host_port": self.port, "firmware_path": self.firmware}
        settings.update(overrides)
        self.dir, self.cfg_path, self.cfg = self.sb.write_vm("vm1", **settings)
        return self.cfg

    def end_qemus(self):
        """A QEMU left by a failed test is not a child of the test."""
        self.note_qemu()
        for pid in self.qemu_pids:
            kelvo_testlib.end_process(pid, signal.SIGKILL)

    def vm_file(self, name):
        return os.path.join(self.dir, name)

    def start_run(self, env=None, attached=False, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                  **popen):
        extra = {"FAKE_QEMU_BOOT_DELAY": self.BOOT_DELAY}
        if attached:
            extra["KELVO_HELPER_ATTACHED"] = "1"
        extra.update(env or {})
        proc = self.sb.start(["run", "--config", self.cfg_path], env=self.sb.env(extra),
                             stdin=stdin, stdout=stdout, stderr=subprocess.PIPE, **popen)
        run = RunProcess(proc, self)
        self.addCleanup(run.close_pipes)
        return run

    def note_qemu(self):
        """The pid of the QEMU last started for this VM, remembered for cleanup."""
        try:
            with open(self.vm_file("fake-qemu.pid")) as f:
                pid = int(f.read())
        except (OSError, ValueError):
            return None
        self.qemu_pids.add(pid)
        return pid

    def qemu_pid(self):
        return wait_until(self.note_qemu, EVENT_TIMEOUT, what="the fake QEMU to start")

    def launching(self, resuming=False):
        suffix = ", resuming from snapshot" if resuming else ""
        return log(f"launching {kelvo_testlib.QEMU} (cpu=2, mem=2048MiB, "
                   f"sshd→127.0.0.1:{self.port}{suffix})")

    def boot(self, run):
        """A cold boot up to `running`."""
        run.expect(state("starting"), self.launching(), running(self.port))

    def stop(self, run, sig=signal.SIGTERM):
        """A graceful stop of a running VM, to the end of `run`."""
        qemu = self.qemu_pid()
        run.signal(sig)
        run.expect(log("graceful powerdown requested"), log("qemu exited cleanly"),
                   state("stopped"))
        run.finish(0)
        self.assert_gone(qemu)

    def assert_gone(self, pid):
        wait_until(lambda: not os.path.exists(f"/proc/{pid}"), 10,
                   what=f"QEMU {pid} to be gone (reaped)")

    def calls(self):
        """What the fake QEMU received, in order: QMP and agent requests
        ({"channel", "execute", "arguments", "raw"}) and snapshot loads."""
        try:
            with open(self.vm_file("fake-qemu-calls.jsonl")) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def qmp_commands(self):
        return [c["execute"] for c in self.calls() if c.get("channel") == "qmp"]

    def qmp_actions(self):
        """The QMP commands but the run-state questions (`query-status` after
        each STOP or RESUME event)."""
        return [c for c in self.qmp_commands() if c != "query-status"]

    def qemu_argv(self):
        with open(self.vm_file("fake-qemu-argv.json")) as f:
            return json.load(f)

    def write_snapshot(self, size=1 << 20, paused=True, path=None):
        with open(path or self.cfg["save_path"], "wb") as f:
            f.write(snapshot_bytes(size, paused))
