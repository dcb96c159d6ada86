"""Support for the management-command integration tests: fake helper
processes with a given command line, loopback listeners standing in for a
guest's forwarded SSH port, and expected texts."""

import os
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import kelvo_testlib
from kelvo_testlib import Sandbox, wait_until

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

    def wait_for(self, expected, timeout=20):
        """Waits until the collected output equals expected; returns it."""
        try:
            wait_until(lambda: self.text() == expected, timeout, what=f"output {expected!r}")
        except AssertionError:
            raise AssertionError(f"output {self.text()!r} != expected {expected!r}")
        return self.text()
