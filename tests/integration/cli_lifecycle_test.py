"""start, list, hibernate, start (resume) and stop end to end: the real `run`
launched by `start` as a detached helper, against the fake QEMU."""

import json
import os
import re
import signal
import time
import unittest

import kelvo_testlib
from cli_support import CliTestCase, OutputReader
from kelvo_testlib import end_process, free_port, is_gone, wait_until

STARTED = re.compile(r"^started 'box' \(helper pid (\d+)\) — booting…$")


class LifecycleCase(CliTestCase):
    """A provisioned VM "box" whose emulator is the fake QEMU."""

    def setUp(self):
        super().setUp()
        self.sb.add_fake(kelvo_testlib.QEMU, source=os.path.join("qemu", "qemu-system-x86_64"))
        self.firmware = self.sb.make_firmware()
        self.port = free_port()
        self.dir, self.cfg_path, self.cfg = self.write_box(self.port)
        self.log = os.path.join(self.dir, "helper.out")
        with open(self.cfg["disk_path"], "wb") as f:
            f.truncate(1 << 20)
        self.env = self.sb.env({"FAKE_QEMU_BOOT_DELAY": "1",
                                "FAKE_QEMU_SNAPSHOT_BYTES": str(3 << 20)})
        self.addCleanup(self.end_vm_processes)

    def write_box(self, port):
        return self.sb.write_vm("b0c5-1d", vm_name="box", ssh_host_port=port,
                                firmware_path=self.firmware)

    def end_vm_processes(self):
        """The detached helper and its QEMU are not children of the test."""
        for pid in self.vm_pids():
            end_process(pid, signal.SIGKILL)

    def vm_pids(self):
        pids = []
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                with open(f"/proc/{name}/cmdline", "rb") as f:
                    cmdline = f.read()
            except OSError:
                continue
            args = cmdline.split(b"\0")
            if ((b"run" in args and self.cfg_path.encode() in args) or
                    (b"qemu-system" in cmdline and self.cfg["disk_path"].encode() in cmdline)):
                pids.append(int(name))
        return pids

    def cli(self, *args, timeout=kelvo_testlib.DEFAULT_TIMEOUT):
        return self.sb.run(list(args), env=self.env, timeout=timeout)

    def assert_output(self, out, first, last, required):
        """out's first and last lines are exact; the echoed event lines in
        between hold the required lines in this order."""
        lines = out.decode().split("\n")
        self.assertEqual(lines[-1], "", out)
        lines = lines[:-1]
        if hasattr(first, "pattern"):
            self.assertRegex(lines[0], first)
        else:
            self.assertEqual(lines[0], first, out)
        self.assertEqual(lines[-1], last, out)
        middle = lines[1:-1]
        for line in middle:
            self.assertTrue(line.startswith("  "), out)
        at = 0
        for want in required:
            while at < len(middle) and not (middle[at] == want or
                                            (want.endswith("…") and
                                             middle[at].startswith(want[:-1]))):
                at += 1
            self.assertLess(at, len(middle), f"{want!r} missing from {out!r}")
            at += 1

    def start_box(self, required):
        status, out, err = self.cli("start", "box")
        self.assertEqual((status, err), (0, b""), out)
        self.assert_output(out, STARTED,
                           f"'box' is running — guest sshd on 127.0.0.1:{self.port}", required)
        return int(STARTED.match(out.decode().split("\n")[0]).group(1))

    def json_state(self):
        status, out, _ = self.cli("ls", "--json")
        self.assertEqual(status, 0)
        (vm,) = json.loads(out)
        return vm["state"], vm["pid"]


class LifecycleTest(LifecycleCase):
    def test_cold_boot_hibernate_resume_stop(self):
        # Whatever holds guest data is the owner's alone, even under umask 000.
        self.addCleanup(os.umask, os.umask(0))
        pid = self.start_box(["  state: starting",
                              f"  launching {kelvo_testlib.QEMU} (cpu=2, mem=2048MiB, "
                              f"sshd→127.0.0.1:{self.port}…"])
        self.assertEqual(self.json_state(), ("running", pid))
        status, out, _ = self.cli("ls")
        self.assertIn(f"box   running  {self.port}  2     2048 MiB  b0c5-1d\n".encode(), out)

        status, out, err = self.cli("hibernate", "box")
        self.assertEqual((status, err), (0, b""), out)
        self.assert_output(out, "hibernating 'box' (saving RAM+device state)…",
                           "'box' hibernated (3 MiB snapshot) — 'start' resumes it",
                           ["  hibernate requested", "  state: saving", "  state: hibernated"])
        self.assertEqual(self.json_state(), ("hibernated", None))
        for path in (self.log, os.path.join(self.dir, "qemu.log"), self.cfg["console_log_path"],
                     self.cfg["save_path"]):
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o600, path)

        pid = self.start_box(["  state: starting", "  state: restoring"])
        self.assertEqual(self.json_state(), ("running", pid))

        status, out, err = self.cli("stop", "box")
        self.assertEqual((status, err), (0, b""), out)
        self.assert_output(out, f"stopping 'box' (graceful powerdown, helper pid {pid})…",
                           "'box' stopped", ["  graceful powerdown requested", "  state: stopped"])
        state, helper = self.json_state()
        self.assertIsNone(helper)
        self.assertIn(state, ("stopped", "hibernated"))
        self.assertEqual(self.vm_pids(), [])

    def test_start_twice_and_force_stop(self):
        pid = self.start_box(["  state: starting"])
        self.assertEqual(self.cli("start", "box"), (1, b"", (
            f"kelvo-vmhelper: 'box' is already running (helper pid {pid})\n").encode()))
        with open(os.path.join(self.dir, "fake-qemu.pid")) as f:
            qemu_pid = int(f.read())
        status, out, err = self.cli("stop", "box", "--force")
        self.assertEqual((status, out, err), (0, (
            f"force-killing 'box' (helper pid {pid})…\n'box' stopped\n").encode(), b""))
        wait_until(lambda: not os.path.exists(f"/proc/{qemu_pid}"), 20, what="QEMU swept")
        self.assertEqual(self.json_state(), ("stopped", None))

    def test_helper_killed_while_qemu_runs(self):
        pid = self.start_box(["  state: starting"])
        with open(os.path.join(self.dir, "fake-qemu.pid")) as f:
            qemu_pid = int(f.read())
        end_process(pid, signal.SIGKILL)
        wait_until(lambda: is_gone(pid), 10, what="the helper to end")
        # The VM still runs (unsupervised); only --force ends its QEMU.
        self.assertEqual(self.json_state(), ("running", None))
        self.assertIn(b"  state:     running\n", self.cli("status", "box")[1])
        self.assertEqual(self.cli("stop", "box"), (1, b"", (
            f"kelvo-vmhelper: 'box' has no helper; its QEMU (pid {qemu_pid}) runs unsupervised"
            " — end it with: kelvo-vmhelper stop box --force\n").encode()))
        self.assertEqual(self.cli("stop", "box", "--force"), (0, (
            f"force-killing 'box' (QEMU pid {qemu_pid} without a helper)…\n"
            "'box' stopped\n").encode(), b""))
        self.assertEqual(self.json_state(), ("stopped", None))
        # The next start boots over the sockets the killed pair left behind.
        self.assertTrue(os.path.exists(os.path.join(self.dir, "qmp.sock")))
        self.start_box(["  state: starting"])

    def test_concurrent_starts_give_one_vm(self):
        starts = [self.sb.start(["start", "box"], env=self.env) for _ in range(2)]
        results = sorted((p.wait(timeout=60), p.stderr.read()) for p in starts)
        self.assertEqual([status for status, _ in results], [0, 1], results)
        self.assertIn(b"'box' is already running", results[1][1])
        helpers = [pid for pid in self.vm_pids() if b"run" in open(
            f"/proc/{pid}/cmdline", "rb").read().split(b"\0")]
        self.assertEqual(len(helpers), 1)
        # One run's events, whole: nothing truncated or interleaved.
        with open(self.log) as f:
            lines = f.read().split("\n")
        self.assertEqual(lines[0], '{"event":"state","state":"starting"}')
        self.assertEqual(sum(1 for line in lines if '"starting"' in line), 1)
        self.assertFalse(any('"error"' in line for line in lines), lines)

    def test_port_not_set_ends_the_helper_during_boot(self):
        self.write_box(0)
        status, out, err = self.cli("start", "box")
        self.assertEqual((status, err), (1, (
            f"kelvo-vmhelper: helper exited during boot — see {self.log}\n").encode()), out)
        self.assert_output(out, STARTED, "  error: ssh_host_port not set in helper.json "
                           "(required for QEMU networking)", ["  state: starting"])
        self.assertEqual(self.json_state(), ("stopped", None))

    def test_guest_stopped_by_qemu_ends_start_at_once(self):
        # As on a host whose KVM cannot execute the firmware: QEMU stops the
        # guest before anyone can connect, and keeps running.
        self.env["FAKE_QEMU_GUEST_STOP"] = "internal-error@0"
        qemu_log = os.path.join(self.dir, "qemu.log")
        status, out, err = self.cli("start", "box")
        self.assertEqual((status, err), (1, (
            f"kelvo-vmhelper: helper exited during boot — see {self.log}\n").encode()), out)
        self.assert_output(out, STARTED, "  state: stopped", [
            "  state: starting",
            f"  error: qemu stopped the guest (internal-error): KVM internal error. "
            f"Suberror: 1 (see {qemu_log})",
            "  qemu exited cleanly"])
        self.assertEqual(self.vm_pids(), [])
        self.assertEqual(self.json_state(), ("stopped", None))

    def test_logs_follow_across_a_restart(self):
        with open(self.log, "w") as f:
            f.write("".join(f"old line {i}\n" for i in range(40)))
        follower = self.sb.start(["logs", "box", "-f", "-n", "0"], env=self.env)
        self.addCleanup(follower.stdout.close)
        self.addCleanup(follower.stderr.close)
        self.addCleanup(end_process, follower.pid)
        reader = OutputReader(follower.stdout)
        time.sleep(0.7)
        self.start_box(["  state: starting"])
        # start truncated the log: the follower reads the new run from its start.
        wait_until(lambda: reader.text().startswith(b'{"event":"state","state":"starting"}\n'),
                   20, what="the new run's first event")


if __name__ == "__main__":
    unittest.main()
