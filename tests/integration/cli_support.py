"""Support for the management-command integration tests: fake helper
processes with a given command line, loopback listeners standing in for a
guest's forwarded SSH port, and expected texts."""

import fcntl
import os
import pty
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
import tty
import unittest

import kelvo_testlib
from kelvo_testlib import DEFAULT_TIMEOUT, Sandbox, wait_until

FAKE_HELPER = os.path.join(kelvo_testlib.FAKES, "cli", "fake_helper.py")


class Process:
    """A background process of a test, reaped by a thread as soon as it ends
    (an unreaped process still exists in /proc) and killed by pid at the end."""

    def __init__(self, argv, ready_file=None, reap=True, cwd=None):
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, cwd=cwd)
        self.pid = self.proc.pid
        self._reaper = threading.Thread(target=self.proc.wait, daemon=True)
        if reap:
            self._reaper.start()
        if ready_file:
            wait_until(lambda: os.path.exists(ready_file) or self.proc.poll() is not None, 20,
                       what=f"{argv} to be ready")

    def alive(self):
        return self._reaper.is_alive()

    def wait_gone(self, timeout=20):
        self._reaper.join(timeout)
        if self._reaper.is_alive():
            raise AssertionError(f"process {self.pid} still running after {timeout}s")

    def end(self):
        if not self._reaper.is_alive() and self.proc.returncode is None:
            # Never reaped so far (reap=False): end and reap it now.
            kelvo_testlib.end_process(self.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
            return
        if self.alive():
            kelvo_testlib.end_process(self.pid, signal.SIGKILL)
            self._reaper.join(10)


class CliTestCase(unittest.TestCase):
    """A sandbox per test plus every process and listener it started."""

    def setUp(self):
        self.sb = Sandbox()
        self._enders = []
        self._ready = 0

    def tearDown(self):
        for fn in reversed(self._enders):
            fn()
        self.sb.close()

    def run_cli(self, *args, **kwargs):
        return self.sb.run(list(args), **kwargs)

    def check(self, args, status, out=b"", err=b"", **kwargs):
        """Runs the binary and compares the exact bytes of both streams."""
        got = self.run_cli(*args, **kwargs)
        self.assertEqual(got, (status, out, err), f"kelvo-vmhelper {' '.join(args)}")
        return got

    def fake_process(self, *argv, reap=True, cwd=None, **options):
        """Starts fake_helper.py (in the directory cwd, if given) with options
        (dict keys without "--") and the pass-through arguments argv; returns
        the running Process. With reap=False nothing reaps it when it exits (as
        under a PID 1 that is no init), until the test ends."""
        self._ready += 1
        ready = self.sb.path(f"ready-{self._ready}")
        cmd = [sys.executable, FAKE_HELPER, "--ready", ready]
        for key, value in options.items():
            cmd += ["--" + key.replace("_", "-"), str(value)]
        proc = Process(cmd + list(argv), ready_file=ready, reap=reap, cwd=cwd)
        self._enders.append(proc.end)
        return proc

    def fake_helper(self, config_path, **options):
        return self.fake_process("run", "--config", config_path, **options)

    def listener(self, greeting=b"SSH-2.0-fake\r\n"):
        server = Listener(greeting)
        self._enders.append(server.close)
        return server


class Listener:
    """A loopback TCP listener that greets every connection (or stays silent
    when greeting is empty) and keeps it open."""

    def __init__(self, greeting):
        self.greeting = greeting
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.clients = []
        self.closing = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.closing:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.clients.append(conn)
            if self.greeting:
                try:
                    conn.sendall(self.greeting)
                except OSError:
                    pass

    def close(self):
        self.closing = True
        self.thread.join(5)
        self.sock.close()
        for c in self.clients:
            c.close()


def closed_port():
    """A loopback port on which nothing listens."""
    return kelvo_testlib.free_port()


def wait_for_file_text(path, text, timeout=20):
    def has_text():
        try:
            with open(path, "rb") as f:
                return text in f.read()
        except OSError:
            return False
    wait_until(has_text, timeout, what=f"{text!r} in {path}")


class OutputReader:
    """Collects a background process's standard output without blocking the
    test; every wait is bounded."""

    def __init__(self, stream):
        self.data = b""
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        while True:
            chunk = os.read(stream.fileno(), 65536)
            if not chunk:
                return
            with self._lock:
                self.data += chunk

    def text(self):
        with self._lock:
            return self.data

    def join(self, timeout=10):
        """Waits for the end of the stream."""
        self._thread.join(timeout)

    def wait_for(self, expected, timeout=20):
        """Waits until the collected output equals expected; returns it."""
        try:
            wait_until(lambda: self.text() == expected, timeout, what=f"output {expected!r}")
        except AssertionError:
            raise AssertionError(f"output {self.text()!r} != expected {expected!r}")
        return self.text()


# A status line drawn in place: "\r", its text, erase to the end of the line
# (an erase alone is an empty one).
STATUS_LINE = re.compile(rb"\r([^\r\n]*?)\x1b\[K")


def run_on_terminal(argv, env, columns=80, stdout_on_terminal=True, timeout=DEFAULT_TIMEOUT):
    """Runs argv with standard error (and output, unless piped) on a new raw
    pseudo-terminal `columns` wide; returns (status, what the terminal
    received, the piped standard output or None)."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, env=env, stderr=slave,
                            stdout=slave if stdout_on_terminal else subprocess.PIPE)
    os.close(slave)
    piped = None if stdout_on_terminal else OutputReader(proc.stdout)
    received = b""
    deadline = time.monotonic() + timeout
    try:
        while proc.poll() is None or select.select([master], [], [], 0.2)[0]:
            if time.monotonic() > deadline:
                raise AssertionError(f"{argv} still running after {timeout} s")
            if not select.select([master], [], [], 0.2)[0]:
                continue
            try:
                received += os.read(master, 65536)
            except OSError:  # EIO: the last writer closed the terminal
                break
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=10)
        os.close(master)
    if piped:
        piped.join()
        proc.stdout.close()
    return proc.returncode, received, piped.data if piped else None


def status_lines(received):
    """Splits what a terminal received into the regular text and the status
    lines drawn (their texts, erases left out). Fails when a regular line
    starts behind a drawn status line, or one is left drawn at the end."""
    parts = STATUS_LINE.split(received)
    drawn = False
    for at, part in enumerate(parts):
        if at % 2 == 1:
            drawn = bool(part)
        elif part and drawn:
            raise AssertionError(f"{part!r} written behind a status line in {received!r}")
    if drawn:
        raise AssertionError(f"a status line left drawn at the end of {received!r}")
    return b"".join(parts[0::2]), [line.decode() for line in parts[1::2] if line]
