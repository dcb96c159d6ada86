"""Shared helpers for the integration and end-to-end tests: run the built
binary with a private HOME and fakes first on PATH, end every process a test
left, write VM directories, read the program's event lines, and bound every
wait."""

import json
import os
import queue
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
import time

BIN = os.environ.get("KELVO_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build", "kelvo-vmhelper"))
# The build's architecture: an ARM64 build's tests run under qemu-user on
# any host, and CTest names it.
ARCH = os.environ.get("KELVO_TEST_ARCH") or ("aarch64" if os.uname().machine in ("aarch64", "arm64") else "x86_64")
QEMU = "qemu-system-" + ARCH
ARCH_WORD = {"x86_64": "amd64", "aarch64": "arm64"}[ARCH]
# qemu-user reports a program that cannot be started as a child ending with
# status 127, never as an error of spawn.
SPAWN_ERRORS_HIDDEN = "KELVO_UNDER_EMULATION" in os.environ
SPAWN_ERRORS_HIDDEN_WHY = ("qemu-user reports a program that cannot be started as exit status 127, "
                           "not as an error of spawn")

# Words put before the binary on its command line (a launcher that execs it).
BIN_WRAPPER = shlex.split(os.environ.get("KELVO_BIN_WRAPPER", ""))
FAKES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fakes")

# Every wait in the integration tests is bounded by this unless a test says
# otherwise.
DEFAULT_TIMEOUT = 60


class Sandbox:
    """A temporary directory with a private HOME and a bin/ that goes first on
    PATH (then the directories of `path`), for running `program`. Removed on
    close, after every process started through it, every process whose
    command line names the directory, and every pid given to track_pid has
    been ended, by pid."""

    # Seconds the processes get to be gone on close.
    END_LIMIT = 10

    def __init__(self, prefix="kelvo-it-", program=None, path=()):
        self.program = program or BIN
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.home = os.path.join(self.root, "home")
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.home)
        os.makedirs(self.bin)
        self.path_dirs = [self.bin] + list(path)
        self.processes = []
        self.pids = []
        self.closed = False

    def close(self):
        if self.closed:
            return
        self.closed = True
        for proc in self.processes:
            if proc.poll() is None:
                end_process(proc.pid)
        others = pids_matching(self.root) + [p for p in self.pids if not is_gone(p)]
        for pid in others:
            end_process(pid)
        for proc in self.processes:
            try:
                proc.wait(timeout=self.END_LIMIT)
            except subprocess.TimeoutExpired:
                pass
        for pid in self.pids:
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
        wait_gone(others, self.END_LIMIT)
        self.remove()

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def env(self, extra=None, path_first=None):
        env = dict(os.environ)
        env["HOME"] = self.home
        dirs = self.path_dirs[:1] + list(path_first or []) + self.path_dirs[1:]
        env["PATH"] = ":".join(dirs + [env.get("PATH", "/usr/bin:/bin")])
        env.pop("KELVO_HELPER_ATTACHED", None)
        if extra:
            for key, value in extra.items():
                if value is None:
                    env.pop(key, None)
                else:
                    env[key] = value
        return env

    def add_fake(self, name, source=None, script=None):
        """Puts a fake program into bin/: a copy of fakes/<source> or a shell
        script given as text."""
        target = os.path.join(self.bin, name)
        if script is not None:
            with open(target, "w") as f:
                f.write(script)
        else:
            shutil.copy(os.path.join(FAKES, source or name), target)
        os.chmod(target, 0o755)
        return target

    def command(self, args):
        """The command line that runs the binary with args."""
        return BIN_WRAPPER + [self.program] + list(args)

    def run(self, args, env=None, stdin=b"", timeout=DEFAULT_TIMEOUT, cwd=None):
        """Runs the binary to completion; returns (status, stdout, stderr) as bytes."""
        proc = subprocess.run(self.command(args), input=stdin, capture_output=True,
                              env=env if env is not None else self.env(), timeout=timeout,
                              cwd=cwd or self.root)
        return proc.returncode, proc.stdout, proc.stderr

    def start(self, args, env=None, **kwargs):
        """Starts the binary in the background; it is ended on close."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.Popen(self.command(args), env=env if env is not None else self.env(),
                                cwd=kwargs.pop("cwd", self.root), **kwargs)
        self.processes.append(proc)
        return proc

    def track(self, proc):
        """A process the test started itself, ended on close like the rest."""
        self.processes.append(proc)
        return proc

    def track_pid(self, pid):
        """A process that is not a child of the test, ended on close."""
        self.pids.append(pid)

    def make_firmware(self, name="OVMF_CODE.fd"):
        """A CODE/VARS pair for firmware_path (the host may have none)."""
        fw = self.path("fw")
        os.makedirs(fw, exist_ok=True)
        code = os.path.join(fw, name)
        with open(code, "wb") as f:
            f.write(b"\0" * 4096)
        with open(code.replace("CODE", "VARS"), "wb") as f:
            f.write(b"\x01" * 4096)
        return code

    def vm_dir(self, vm_id):
        return os.path.join(self.home, ".kelvo", "vms", vm_id)

    def write_vm(self, vm_id, **overrides):
        """Writes ~/.kelvo/vms/<vm_id>/helper.json with every path inside the
        VM directory; returns (vm directory, config path, config dict)."""
        d = self.vm_dir(vm_id)
        os.makedirs(d, exist_ok=True)
        config = vm_config(d)
        config.update(overrides)
        for key in [k for k, v in config.items() if v is _DROP]:
            del config[key]
        path = os.path.join(d, "helper.json")
        with open(path, "w") as f:
            json.dump(config, f)
        return d, path, config


_DROP = object()
DROP = _DROP  # pass as a value to leave a key out of helper.json


def vm_config(directory, **overrides):
    config = {
        "disk_path": os.path.join(directory, "disk.qcow2"),
        "seed_path": os.path.join(directory, "seed.iso"),
        "efi_store_path": os.path.join(directory, "efi-vars.fd"),
        "machine_identifier_path": os.path.join(directory, "machine-id"),
        "console_log_path": os.path.join(directory, "console.log"),
        "save_path": os.path.join(directory, "state.save"),
        "mac_address": "52:54:00:12:34:56",
        "cpu_count": 2,
        "memory_mib": 2048,
        "disk_gib": 0,
        "isolated": False,
        "ssh_host_port": 0,
        "vm_name": "",
    }
    config.update(overrides)
    return config


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it is true and returns its value; fails the
    caller when it is still false at the end of timeout (checked once more
    then)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    value = predicate()
    if value:
        return value
    raise AssertionError(f"timed out after {timeout}s waiting for {what}")


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def event_of_line(line, lenient=False):
    """The event (a dict) that one NDJSON line holds. Lenient, anything but a
    JSON object gives None (the helper's stderr shares helper.out); strict,
    the line must be JSON."""
    if isinstance(line, bytes):
        line = line.decode(errors="replace" if lenient else "strict")
    if not lenient:
        return json.loads(line)
    try:
        value = json.loads(line)
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


def events(text, lenient=False):
    """Parses NDJSON (bytes or text) into a list of values: every non-blank
    line must be JSON. Lenient parsing keeps only the JSON objects and skips
    other lines."""
    if isinstance(text, bytes):
        text = text.decode(errors="replace" if lenient else "strict")
    values = (event_of_line(line, lenient) for line in text.split("\n") if line.strip())
    return [v for v in values if v is not None]


def compact_event_line(event):
    """An event as the program writes it: compact JSON with sorted keys and a
    line feed."""
    return json.dumps(event, separators=(",", ":"), sort_keys=True, ensure_ascii=False) + "\n"


class NoEvent(AssertionError):
    """No event came within the limit."""


class EventReader:
    """Reads a stream of event lines (a `run`'s standard output, `logs -f`)
    on a thread of its own; every wait has a limit. Strict, each line must be
    one event exactly as the program writes it (compact_event_line); lenient,
    lines that are not JSON objects are skipped. `seen` holds every event
    taken so far."""

    def __init__(self, stream, lenient=False):
        self.lenient = lenient
        self.seen = []
        self._lines = queue.Queue()
        self._fd = stream.fileno()
        self._stopping = False
        self._thread = threading.Thread(target=self._pump, daemon=True)
        self._thread.start()

    def _pump(self):
        pending = b""
        try:
            while not self._stopping:
                ready, _, _ = select.select([self._fd], [], [], 0.1)
                if not ready:
                    continue
                chunk = os.read(self._fd, 65536)
                if not chunk:
                    break
                pending += chunk
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    self._lines.put(line + b"\n")
        except (OSError, ValueError):
            pass
        if pending:
            self._lines.put(pending)
        self._lines.put(None)

    def stop(self):
        """Stops reading, so that the stream can be closed."""
        self._stopping = True
        self._thread.join(5)

    def _raw(self, timeout):
        """The next line as read, None at the end of the stream (which stays
        the end); raises queue.Empty after timeout."""
        raw = self._lines.get(timeout=max(0, timeout))
        if raw is None:
            self._lines.put(None)
        return raw

    def _event(self, raw):
        if self.lenient:
            return event_of_line(raw, lenient=True)
        if not raw.endswith(b"\n"):
            raise AssertionError(f"event line without its line feed: {raw!r}; seen: {self.seen}")
        event = json.loads(raw)
        if raw.decode() != compact_event_line(event):
            raise AssertionError(f"event line not compact with sorted keys: {raw!r}")
        return event

    def next_event(self, timeout):
        """The next event, or None at the end of the stream; fails after
        timeout."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                raw = self._raw(deadline - time.monotonic())
            except queue.Empty:
                raise NoEvent(f"no event within {timeout}s; seen so far: {self.seen}")
            if raw is None:
                return None
            event = self._event(raw)
            if event is not None:
                self.seen.append(event)
                return event

    def wait_for(self, predicate, timeout, what):
        """Takes events until one satisfies predicate, and returns it."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {what} within {timeout}s; seen: {self.seen}")
            event = self.next_event(left)
            if event is None:
                raise AssertionError(f"output ended before {what}; seen: {self.seen}")
            if predicate(event):
                return event

    def rest(self, timeout):
        """Every further event up to the end of the stream."""
        deadline = time.monotonic() + timeout
        out = []
        while True:
            try:
                event = self.next_event(max(0.01, deadline - time.monotonic()))
            except NoEvent:
                raise AssertionError(f"stream still open after {timeout}s; seen: {self.seen}")
            if event is None:
                return out
            out.append(event)

    def no_event_for(self, seconds):
        """Nothing is written for this long, and the stream stays open."""
        try:
            raw = self._raw(seconds)
        except queue.Empty:
            return
        raise AssertionError(f"unexpected {'end of output' if raw is None else repr(raw)}; "
                             f"seen: {self.seen}")


def read_cmdline(pid):
    """A process's NUL-joined command line, or None."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:
        return None


def pids_matching(*needles):
    """Processes (but this one) whose command line contains every needle."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        cmd = read_cmdline(name)
        if cmd and all(n.encode() in cmd for n in needles):
            found.append(int(name))
    return found


def process_state(pid):
    """The state letter of /proc/<pid>/stat ("Z" for a zombie), or None when
    the process is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def is_gone(pid):
    """True when the process no longer exists or is a zombie."""
    return process_state(pid) in (None, "Z")


def wait_gone(pids, timeout):
    """True once every one of pids is gone, False if not within timeout."""
    try:
        return wait_until(lambda: all(is_gone(p) for p in pids), timeout, interval=0.1)
    except AssertionError:
        return False


def end_process(pid, sig=signal.SIGKILL):
    """Sends sig, ignoring a process that is gone or not ours."""
    try:
        os.kill(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass
