#!/usr/bin/env python3
"""Benchmark of the `run` supervisor against the fake QEMU of the tests.

Reports, for the supervisor process while its VM runs:
  - peak resident memory (VmHWM) and thread count;
  - CPU time used over an idle period after `running` (target: < 10 ms per
    60 s), summed over all threads from /proc/<pid>/task/*/schedstat (ns);
  - the latency from SIGTERM to the "graceful powerdown requested" event, and
    from QEMU's death to the `stopped` event (median of several runs; target:
    < 20 ms each).
Latencies are also shown as ratios against a baseline measured in the same
run: a trivial process that answers a signal with a line, and a shell that
prints a line when its child dies.

Usage: bench/supervisor_bench.py [--bin PATH] [--runs N] [--idle-seconds S]
"""

import argparse
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAKE_QEMU = os.path.join(ROOT, "tests", "integration", "fakes", "qemu", "qemu-system-x86_64")
STARTUP_LIMIT = 60  # seconds for any one event to arrive


class Lines:
    """Line reader over a pipe with a time limit on every wait."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.pending = b""

    def next(self, timeout=STARTUP_LIMIT):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError("no line in time")
            chunk = os.read(self.fd, 65536)
            if not chunk:
                raise EOFError("stream ended")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def until(self, predicate, timeout=STARTUP_LIMIT):
        """Reads lines until one satisfies predicate; returns the arrival time."""
        while True:
            line = self.next(timeout)
            if predicate(line):
                return time.monotonic()


class Vm:
    """A sandboxed VM directory whose emulator is the fake QEMU."""

    def __init__(self, binary):
        self.binary = binary
        self.root = tempfile.mkdtemp(prefix="kelvo-bench-")
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.bin)
        shutil.copy(FAKE_QEMU, os.path.join(self.bin, "qemu-system-x86_64"))
        code = os.path.join(self.root, "OVMF_CODE.fd")
        for path in (code, code.replace("CODE", "VARS")):
            with open(path, "wb") as f:
                f.write(b"\0" * 4096)
        with socket_port() as port:
            self.port = port
        vm = os.path.join(self.root, "vm")
        os.makedirs(vm)
        self.vm = vm
        config = {
            "disk_path": f"{vm}/disk.qcow2", "seed_path": f"{vm}/seed.iso",
            "efi_store_path": f"{vm}/efi-vars.fd", "machine_identifier_path": f"{vm}/machine-id",
            "console_log_path": f"{vm}/console.log", "save_path": f"{vm}/state.save",
            "mac_address": "52:54:00:12:34:56", "cpu_count": 2, "memory_mib": 2048,
            "disk_gib": 0, "isolated": False, "ssh_host_port": self.port,
            "firmware_path": code,
        }
        self.config = os.path.join(vm, "helper.json")
        with open(self.config, "w") as f:
            json.dump(config, f)

    def start(self):
        env = dict(os.environ)
        env["PATH"] = self.bin + ":" + env.get("PATH", "/usr/bin:/bin")
        env["FAKE_QEMU_BOOT_DELAY"] = "0.2"
        env.pop("KELVO_HELPER_ATTACHED", None)
        proc = subprocess.Popen([self.binary, "run", "--config", self.config],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, env=env)
        lines = Lines(proc.stdout)
        lines.until(lambda l: '"state":"running"' in l)
        return proc, lines

    def qemu_pid(self):
        with open(os.path.join(self.vm, "fake-qemu.pid")) as f:
            return int(f.read())

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


class socket_port:
    def __enter__(self):
        import socket
        self.s = socket.socket()
        self.s.bind(("127.0.0.1", 0))
        return self.s.getsockname()[1]

    def __exit__(self, *exc):
        self.s.close()


def cpu_ns(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split()[1]
    return None


def end(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait(timeout=30)


def measure_resources(vm, idle_seconds):
    proc, lines = vm.start()
    try:
        time.sleep(0.5)  # let the boot watcher finish
        before = cpu_ns(proc.pid)
        time.sleep(idle_seconds)
        idle_ns = cpu_ns(proc.pid) - before
        rss_kib = int(status_field(proc.pid, "VmHWM"))
        threads = int(status_field(proc.pid, "Threads"))
        proc.send_signal(signal.SIGTERM)
        lines.until(lambda l: '"state":"stopped"' in l)
        proc.wait(timeout=30)
        return rss_kib, threads, idle_ns
    finally:
        end(proc)


def measure_latencies(vm):
    proc, lines = vm.start()
    try:
        sent = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        stop = lines.until(lambda l: "graceful powerdown requested" in l) - sent
        lines.until(lambda l: '"state":"stopped"' in l)
        proc.wait(timeout=30)
    finally:
        end(proc)
    proc, lines = vm.start()
    try:
        qemu = vm.qemu_pid()
        killed = time.monotonic()
        os.kill(qemu, signal.SIGKILL)
        ended = lines.until(lambda l: '"state":"stopped"' in l) - killed
        proc.wait(timeout=30)
    finally:
        end(proc)
    return stop, ended


BASELINE_SIGNAL = ("import signal, sys\n"
                   "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})\n"
                   "print('ready', flush=True)\n"
                   "signal.sigwait({signal.SIGTERM})\n"
                   "print('got it', flush=True)\n")


def baseline_latencies():
    """The same two round trips through trivial processes."""
    proc = subprocess.Popen([sys.executable, "-c", BASELINE_SIGNAL], stdout=subprocess.PIPE)
    try:
        lines = Lines(proc.stdout)
        lines.next()
        sent = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        signal_rtt = lines.until(lambda l: l == "got it") - sent
    finally:
        end(proc)
    proc = subprocess.Popen(["sh", "-c", "sleep 1000 & echo $!; wait $!; echo ended"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        lines = Lines(proc.stdout)
        child = int(lines.next())
        killed = time.monotonic()
        os.kill(child, signal.SIGKILL)
        child_rtt = lines.until(lambda l: l == "ended") - killed
    finally:
        end(proc)
    return signal_rtt, child_rtt


def ms(seconds):
    return seconds * 1000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", default=os.environ.get(
        "KELVO_BIN", os.path.join(ROOT, "build", "kelvo-vmhelper")))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    args = parser.parse_args()

    vm = Vm(args.bin)
    try:
        rss_kib, threads, idle_ns = measure_resources(vm, args.idle_seconds)
        stops, ends, base_signal, base_child = [], [], [], []
        for _ in range(args.runs):
            stop, ended = measure_latencies(vm)
            stops.append(stop)
            ends.append(ended)
            signal_rtt, child_rtt = baseline_latencies()
            base_signal.append(signal_rtt)
            base_child.append(child_rtt)
    finally:
        vm.close()

    idle_per_minute = idle_ns / 1e6 * 60.0 / args.idle_seconds
    stop_ms, end_ms = ms(statistics.median(stops)), ms(statistics.median(ends))
    base_signal_ms = ms(statistics.median(base_signal))
    base_child_ms = ms(statistics.median(base_child))
    print(f"processors                  {os.cpu_count()}")
    print(f"peak RSS (VmHWM)            {rss_kib / 1024:.1f} MiB")
    print(f"threads                     {threads}")
    print(f"idle CPU over {args.idle_seconds:g} s        {idle_ns / 1e6:.2f} ms "
          f"({idle_per_minute:.2f} ms per 60 s; target < 10)")
    print(f"SIGTERM -> powerdown line   {stop_ms:.2f} ms median of {args.runs} "
          f"(baseline {base_signal_ms:.2f} ms, ratio {stop_ms / base_signal_ms:.1f}x; "
          f"target < 20)")
    print(f"QEMU end -> stopped line    {end_ms:.2f} ms median of {args.runs} "
          f"(baseline {base_child_ms:.2f} ms, ratio {end_ms / base_child_ms:.1f}x; "
          f"target < 20)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
