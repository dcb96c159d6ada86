"""`run`: hibernation by migration into a file, and the resume from it."""

import json
import os
import resource
import signal
import time
import unittest

from kelvo_testlib import wait_until
from run_support import RunCase, error, log, running, snapshot_bytes, state

QUIT_OR_KILLED = [log("qemu exited cleanly"), log("qemu exited with status signal: 9 (SIGKILL)")]
SIZE = 2 << 20


class HibernateTest(RunCase):
    def hibernate(self, run):
        """SIGUSR1 to a running VM, through to the end of `run`."""
        qemu = self.qemu_pid()
        run.signal(signal.SIGUSR1)
        run.expect(log("hibernate requested"), state("saving"), state("hibernated"))
        run.expect_one_of(QUIT_OR_KILLED)  # `quit` may end QEMU before the SIGKILL
        run.finish(0)  # no `stopped` after a hibernation
        self.assert_gone(qemu)

    def snapshot(self, path=None):
        with open(path or self.cfg["save_path"], "rb") as f:
            return f.read()

    def test_hibernate_then_resume(self):
        env = {"FAKE_QEMU_SNAPSHOT_BYTES": str(SIZE)}
        run = self.start_run(env)
        self.boot(run)
        self.hibernate(run)
        self.assertEqual(self.snapshot(), snapshot_bytes(SIZE, paused=True))
        self.assertFalse(os.path.exists(self.cfg["save_path"] + ".part"))
        with open(self.cfg["save_path"] + ".fingerprint") as f:
            fingerprint = json.load(f)
        self.assertEqual((fingerprint["emulator"], fingerprint["settings"]["memory_mib"],
                          fingerprint["disk"]["size"]),
                         ("7.2.0 (fake)", 2048, os.path.getsize(self.cfg["disk_path"])))
        migrate = [c for c in self.calls() if c.get("execute") == "migrate"]
        self.assertEqual(migrate[0]["raw"], '{"arguments":{"uri":"exec:cat > \'%s.part\'"},'
                         '"execute":"migrate"}' % self.cfg["save_path"])
        self.assertEqual(self.qmp_commands()[:5], ["qmp_capabilities", "query-status",
                                                   "migrate-set-parameters", "stop", "migrate"])

        os.unlink(self.vm_file("fake-qemu-calls.jsonl"))
        run = self.start_run(env)
        run.expect(state("starting"), state("restoring"), self.launching(resuming=True),
                   running(self.port), log("resume: networking restored, guest reachable"))
        self.assertEqual(self.qemu_argv()[-2:],
                         ["-incoming", "exec:cat '%s'" % self.cfg["save_path"]])
        self.assertFalse(os.path.exists(self.cfg["save_path"]))
        self.assertFalse(os.path.exists(self.cfg["save_path"] + ".fingerprint"))
        calls = self.calls()
        self.assertIn({"incoming": "ok", "bytes": len(snapshot_bytes(SIZE))}, calls)
        # The guest was saved paused and comes back paused: `cont` runs it.
        self.assertIn("cont", self.qmp_commands())
        self.assertEqual(self.qmp_commands()[-1], "query-status")
        self.stop(run)

    def test_snapshot_resumes_only_onto_its_disk_and_machine(self):
        save = self.cfg["save_path"]
        for change, expected in [
                ("disk", log(f"snapshot set aside as {save}.disk-changed: the disk "
                             f"{self.cfg['disk_path']} has changed since the hibernation (it was "
                             "written since), so resuming it would corrupt the guest's file "
                             "system; booting cold")),
                ("memory", error("cannot resume: memory changed from 2048 MiB to 4096 MiB since "
                                 f"the hibernation; restore the setting, or remove {save} to "
                                 "boot cold"))]:
            with self.subTest(change=change):
                self.write_config()
                run = self.start_run()
                self.boot(run)
                self.hibernate(run)
                if change == "disk":
                    with open(self.cfg["disk_path"], "ab") as f:
                        f.write(b" written by another tool")
                else:
                    self.write_config(memory_mib=4096)
                os.unlink(self.vm_file("fake-qemu.pid"))
                run = self.start_run()
                run.expect(state("starting"), expected)
                if change == "disk":
                    run.expect(self.launching(), running(self.port))
                    self.assertEqual(self.snapshot(save + ".disk-changed")[:18],
                                     b"FAKE-QEMU-SNAPSHOT")
                    self.stop(run)
                    os.unlink(save + ".disk-changed")
                else:
                    run.finish(1)
                    self.assertFalse(os.path.exists(self.vm_file("fake-qemu.pid")))
                    self.assertTrue(self.snapshot().startswith(b"FAKE-QEMU-SNAPSHOT"))
                    os.unlink(save)

    def test_hostile_save_path(self):
        # A quote, a command substitution, a backquote, a space and a newline:
        # the snapshot lands at exactly this path and no shell command runs.
        name = "it's $(touch sub-ran) `touch tick-ran` a\nb.save"
        self.write_config(save_path=os.path.join(self.sb.vm_dir("vm1"), name))
        path = self.cfg["save_path"]
        run = self.start_run()
        self.boot(run)
        self.hibernate(run)
        self.assertTrue(self.snapshot().startswith(b"FAKE-QEMU-SNAPSHOT"))
        quoted = "'" + path.replace("'", "'\\''") + "'"
        migrate = [c for c in self.calls() if c.get("execute") == "migrate"][0]
        self.assertEqual(migrate["arguments"]["uri"], "exec:cat > " + quoted[:-1] + ".part'")

        run = self.start_run()
        run.expect(state("starting"), state("restoring"), self.launching(resuming=True),
                   running(self.port), log("resume: networking restored, guest reachable"))
        self.assertEqual(self.qemu_argv()[-1], "exec:cat " + quoted)
        self.assertFalse(os.path.exists(path))
        self.stop(run)
        ran = [os.path.join(d, f) for d, _, files in os.walk(self.sb.root) for f in files
               if f in ("sub-ran", "tick-ran")]
        self.assertEqual(ran, [])

    def test_noisy_monitor_is_understood(self):
        # Garbage before the greeting, blank and non-JSON lines before every
        # reply, events between requests and replies.
        run = self.start_run({"FAKE_QEMU_QMP": "garbage", "FAKE_QEMU_QMP_NOISE": "1"})
        self.boot(run)
        self.hibernate(run)
        self.assertTrue(self.snapshot().startswith(b"FAKE-QEMU-SNAPSHOT"))

    def test_failed_migration_leaves_the_vm_running(self):
        broken = "hibernate: migration failed: Unable to write to command: Broken pipe"
        limit = 256 << 10
        for mode, popen, message in [
                ("fail", {}, broken),
                # The snapshot writer runs into a file size limit (a full disk).
                ("ok", {"preexec_fn": lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                                 (limit, limit))},
                 f"{broken} (the snapshot reached the file size limit of {limit} bytes)")]:
            with self.subTest(mode=mode):
                run = self.start_run({"FAKE_QEMU_MIGRATE": mode}, **popen)
                self.boot(run)
                run.signal(signal.SIGUSR1)
                run.expect(log("hibernate requested"), state("saving"), error(message))
                self.assertFalse(os.path.exists(self.cfg["save_path"] + ".part"))
                self.assertFalse(os.path.exists(self.cfg["save_path"]))
                # (`cont` follows the error event.)
                wait_until(lambda: self.qmp_actions()[-1] == "cont", 10, what="cont")
                self.stop(run)  # still supervised; the guest runs again, so it powers down
                os.unlink(self.vm_file("fake-qemu-calls.jsonl"))

    def test_without_qmp(self):
        run = self.start_run({"FAKE_QEMU_QMP": "close"})
        run.expect(state("starting"), self.launching())
        unavailable = log("QMP unavailable (QMP socket closed); stop will hard-kill")
        # `running` and the QMP line are independent of each other.
        first = run.expect_one_of([unavailable, running(self.port)])
        run.expect(running(self.port) if first == unavailable else unavailable)
        run.signal(signal.SIGUSR1)
        run.expect(log("hibernate requested"), error("cannot hibernate: QMP unavailable"))
        run.signal(signal.SIGTERM)
        run.expect(log("graceful powerdown requested"),
                   log("qemu exited with status signal: 9 (SIGKILL)"), state("stopped"))
        run.finish(0)


class ResumeTest(RunCase):
    def test_guest_agent_brings_the_network_back(self):
        self.write_snapshot()
        run = self.start_run({"FAKE_QEMU_BANNER": "after-exec"})
        run.expect(state("starting"), state("restoring"), self.launching(resuming=True),
                   log("resume: guest agent re-initializing networking"), running(self.port),
                   log("resume: networking restored, guest reachable"))
        # Once reachable, the resumed guest's clock is set from the host's.
        clock = wait_until(lambda: [c for c in self.calls() if c.get("execute") == "guest-set-time"],
                           10, what="guest-set-time")
        self.assertAlmostEqual(clock[0]["arguments"]["time"] / 1e9, time.time(), delta=10)
        agent = [c["raw"] for c in self.calls() if c.get("channel") == "qga" and c not in clock]
        self.assertEqual(agent[-1], (
            '{"arguments":{"arg":["-c","netplan apply 2>/dev/null || systemctl restart '
            'systemd-networkd 2>/dev/null || { dhclient -r; dhclient; } 2>/dev/null || true"],'
            '"capture-output":true,"path":"/bin/sh"},"execute":"guest-exec"}'))
        self.assertTrue(all(raw == '{"execute":"guest-ping"}' for raw in agent[:-1]), agent)
        self.assertFalse(os.path.exists(self.cfg["save_path"]))
        self.stop(run)

    def test_guest_saved_running_needs_no_cont(self):
        self.write_snapshot(paused=False)
        run = self.start_run()
        run.expect(state("starting"), state("restoring"), self.launching(resuming=True),
                   running(self.port), log("resume: networking restored, guest reachable"))
        self.assertNotIn("cont", self.qmp_commands())
        self.stop(run)

    def test_sigterm_during_resume_waits_for_its_end(self):
        self.write_snapshot()
        run = self.start_run({"FAKE_QEMU_BANNER": "after-exec"})
        run.expect(state("starting"), state("restoring"))
        run.signal(signal.SIGTERM)
        run.expect(self.launching(resuming=True),
                   log("resume: guest agent re-initializing networking"), running(self.port),
                   log("resume: networking restored, guest reachable"),
                   log("graceful powerdown requested"), log("qemu exited cleanly"),
                   state("stopped"))
        run.finish(0)


if __name__ == "__main__":
    unittest.main()
