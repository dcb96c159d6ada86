"""Shared helpers for the integration tests: run the built binary with a
private HOME and fakes first on PATH, write VM directories, and bound every
wait."""

import json
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
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
    PATH. Removed (with every process started through it ended) on close."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kelvo-it-")
        self.home = os.path.join(self.root, "home")
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.home)
        os.makedirs(self.bin)
        self.processes = []

    def close(self):
        for proc in self.processes:
            if proc.poll() is None:
                try:
                    proc.kill()
                except ProcessLookupError:
                    pass
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
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
        dirs = [self.bin] + list(path_first or [])
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

    def run(self, args, env=None, stdin=b"", timeout=DEFAULT_TIMEOUT, cwd=None):
        """Runs the binary to completion; returns (status, stdout, stderr) as bytes."""
        proc = subprocess.run(BIN_WRAPPER + [BIN] + list(args), input=stdin, capture_output=True,
                              env=env if env is not None else self.env(), timeout=timeout,
                              cwd=cwd or self.root)
        return proc.returncode, proc.stdout, proc.stderr

    def start(self, args, env=None, **kwargs):
        """Starts the binary in the background; it is ended on close."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.Popen(BIN_WRAPPER + [BIN] + list(args), env=env if env is not None else self.env(),
                                cwd=kwargs.pop("cwd", self.root), **kwargs)
        self.processes.append(proc)
        return proc

    def track(self, proc):
        self.processes.append(proc)
        return proc

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


def events(text, lenient=False):
    """Parses NDJSON (bytes or text) into a list of values: every non-blank
    line must be JSON. Lenient parsing keeps only the JSON objects and skips
    other lines (the helper's stderr shares helper.out)."""
    if isinstance(text, bytes):
        text = text.decode()
    out = []
    for line in text.splitlines():
        if not line.strip():
            continue
        if not lenient:
            out.append(json.loads(line))
            continue
        try:
            value = json.loads(line)
        except ValueError:
            continue
        if isinstance(value, dict):
            out.append(value)
    return out


def end_process(pid, sig=signal.SIGKILL):
    """Sends sig, ignoring a process that is gone or not ours."""
    try:
        os.kill(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass
