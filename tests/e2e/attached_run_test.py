"""`run` attached the way the app drives it over SSH (KELVO_HELPER_ATTACHED
set, commands on standard input), against real QEMU and the real test guest:
cold boot, {"cmd":"hibernate"}, a second `run` that resumes (the guest answers
at once) and hibernates again, a third `run` that resumes through the guest
agent (the guest's sshd stays silent until its network is re-initialised),
and the end of standard input as a graceful powerdown."""

import json
import os
import time
import unittest

import e2e_lib as e2e
from e2e_lib import LifecycleCase, step


HOSTILE_SAVE_NAME = "it's $(touch sub-ran) `touch tick-ran` a\nb.save"

class AttachedRunTest(LifecycleCase):
    vm = None
    uptime_before = None

    def start_run(self):
        """An attached `run` of the VM; returns (process, event reader, stderr path)."""
        err_path = os.path.join(self.sandbox.root, f"run-stderr-{time.monotonic_ns()}.txt")
        err = open(err_path, "wb")
        try:
            proc = self.sandbox.spawn(["run", "--config", self.vm.file("helper.json")], attached=True, stderr=err)
        finally:
            err.close()
        return proc, e2e.EventReader(proc.stdout), err_path

    def finish(self, proc, reader, err_path, timeout):
        """Every remaining event until `run` ends; checks it ended with 0."""
        rest = reader.rest(timeout)
        try:
            status = proc.wait(timeout=e2e.PROCESS_END_LIMIT)
        except Exception:
            self.fail(f"`run` did not exit after its output ended (events: {e2e.event_words(reader.seen)})")
        with open(err_path, errors="replace") as f:
            stderr = f.read()
        self.assertEqual(status, 0, f"`run` exit status (events: {e2e.event_words(reader.seen)}; stderr: {stderr})")
        self.assertEqual(stderr, "")
        return rest

    @step
    def test_01_provision_with_firmware_path(self):
        code, _ = e2e.host_firmware()
        # The snapshot's name holds a quote, a command substitution, a
        # backquote, a space and a newline: QEMU's shell must run none of it.
        type(self).vm = vm = self.sandbox.write_vm(
            "e2e-attached", e2e.free_port(), firmware_path=code,
            save_name=HOSTILE_SAVE_NAME)
        status, out, err, took = self.sandbox.kelvo(["provision", "--config", vm.file("helper.json")], timeout=300)
        self.timed("provision", took)
        self.assertEqual(status, 0, f"stdout:\n{out}\nstderr:\n{err}")
        self.assertEqual(e2e.event_words(e2e.parse_events(out))[-1], "log:provisioning: complete")

    @step
    def test_02_cold_boot_then_hibernate_command(self):
        vm = self.vm
        t0 = time.monotonic()
        proc, reader, err_path = self.start_run()
        self.assertEqual(reader.next_event(30), {"event": "state", "state": "starting"})
        self.assertEqual(reader.next_event(30), {
            "event": "log",
            "line": f"launching {e2e.QEMU} (cpu=1, mem=512MiB, sshd→127.0.0.1:{vm.port})"})
        reader.wait_for(lambda e: e.get("state") == "running", e2e.BOOT_LIMIT, "the running event")
        banner = e2e.ssh_banner(vm.port)
        running_after = time.monotonic() - t0
        with self.subTest("the running event comes only once the guest's sshd answers"):
            self.assertTrue(banner.startswith(b"SSH-"),
                            f"`run` reported running {running_after:.1f}s after launch, but the guest's sshd sent "
                            f"no SSH- banner then (got {banner!r}); QEMU's user network accepts TCP connections "
                            f"on the forwarded port before the guest is up")
        self.assertEqual(reader.seen[-1], {"event": "state", "port": vm.port, "state": "running"})
        e2e.wait_for_banner(vm.port, e2e.BOOT_LIMIT)
        self.timed("attached cold boot (until the SSH- banner)", time.monotonic() - t0)

        # The guest agent starts after sshd: the ready line says it is up.
        e2e.wait_until(lambda: "e2e-guest: ready" in vm.console(), 60, "the guest's ready line")
        type(self).uptime_before = e2e.guest_uptime(vm.file("qga.sock"))
        self.guest_sh("echo attached-marker > /run/e2e-marker")
        self.hibernate_through_stdin(proc, reader, err_path, "attached hibernate")

    def guest_sh(self, script):
        agent = e2e.GuestAgent(self.vm.file("qga.sock"))
        try:
            agent.sync()
            return agent.run("/bin/sh", ["-c", script])
        finally:
            agent.close()

    def expect_resume_start(self, proc, reader):
        vm = self.vm
        self.assertEqual(reader.next_event(30), {"event": "state", "state": "starting"})
        self.assertEqual(reader.next_event(30), {"event": "state", "state": "restoring"})
        self.assertEqual(reader.next_event(30), {
            "event": "log",
            "line": f"launching {e2e.QEMU} (cpu=1, mem=512MiB, sshd→127.0.0.1:{vm.port}, resuming from snapshot)"})

    def hibernate_through_stdin(self, proc, reader, err_path, label):
        t1 = time.monotonic()
        proc.stdin.write(b'{"cmd":"hibernate"}\n')
        proc.stdin.flush()
        rest = self.finish(proc, reader, err_path, e2e.HIBERNATE_LIMIT)
        self.timed(label, time.monotonic() - t1)
        words = e2e.event_words(rest)
        self.assertEqual(words[:3], ["log:hibernate requested", "state:saving", "state:hibernated"], words)
        self.assertTrue(words[3].startswith("log:qemu exited"), words)
        self.assertEqual(len(words), 4, words)
        self.assertGreater(os.path.getsize(self.vm.snapshot), 1 << 20)
        self.assertFalse(os.path.exists(self.vm.snapshot + ".part"))
        self.assertTrue(self.vm.snapshot.endswith(HOSTILE_SAVE_NAME))
        self.assertEqual([f for _, _, files in os.walk(self.sandbox.root) for f in files
                          if f in ("sub-ran", "tick-ran")], [], "a command in save_path ran")
        self.assertTrue(e2e.wait_gone(self.vm.qemu_pids(), 10), "QEMU still runs after the hibernation")

    @step
    def test_03_resume_then_hibernate_again(self):
        """The guest answers at once after the resume (probe path); then the
        resumed VM is hibernated a second time."""
        vm = self.vm
        t0 = time.monotonic()
        proc, reader, err_path = self.start_run()
        self.expect_resume_start(proc, reader)
        running = reader.wait_for(lambda e: e.get("state") == "running", 150, "the running event after the resume")
        self.assertEqual(running, {"event": "state", "port": vm.port, "state": "running"})
        self.assertTrue(e2e.ssh_banner(vm.port).startswith(b"SSH-"), "running, but the guest's sshd is silent")
        self.assertEqual(reader.next_event(30),
                         {"event": "log", "line": "resume: networking restored, guest reachable"})
        self.timed("attached resume (until networking restored)", time.monotonic() - t0)
        words = e2e.event_words(reader.seen)
        self.assertFalse(any(w.startswith("error:") or "guest agent" in w for w in words), words)
        self.assertFalse(os.path.exists(vm.snapshot), "the snapshot is still there after the resume")
        self.assertEqual(self.guest_sh("cat /run/e2e-marker").strip(), "attached-marker",
                         "the guest was booted afresh")
        self.assertGreaterEqual(e2e.guest_uptime(vm.file("qga.sock")), self.uptime_before)

        # From now on the guest's sshd stays silent until its network is
        # re-initialised: dhclient (the last resort of the re-init command)
        # wakes it up once it has its lease again.
        self.guest_sh("cp /sbin/dhclient /sbin/dhclient.orig && cat > /sbin/dhclient <<'EOF'\n"
                      "#!/bin/sh\n"
                      "/sbin/dhclient.orig \"$@\"\n"
                      "[ \"${1:-}\" = -r ] && exit 0\n"
                      "for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do\n"
                      "    ip -4 addr show dev eth0 | grep -q inet && break; sleep 0.5\n"
                      "done\n"
                      "kill -CONT $(cat /run/dropbear.pid)\n"
                      "echo 'e2e: sshd woken by dhclient' > /dev/console\n"
                      "EOF\n"
                      "kill -STOP $(cat /run/dropbear.pid)")
        self.assertEqual(e2e.ssh_banner(vm.port), b"", "the guest's sshd still answers")
        self.hibernate_through_stdin(proc, reader, err_path, "attached second hibernate")

    @step
    def test_04_resume_through_guest_agent_then_end_of_input(self):
        vm = self.vm
        t0 = time.monotonic()
        proc, reader, err_path = self.start_run()
        self.expect_resume_start(proc, reader)
        reader.wait_for(lambda e: e.get("state") == "running", 150, "the running event after the resume")
        self.assertTrue(e2e.ssh_banner(vm.port).startswith(b"SSH-"), "running, but the guest's sshd is silent")
        self.assertEqual(reader.next_event(30),
                         {"event": "log", "line": "resume: networking restored, guest reachable"})
        self.timed("attached resume through the guest agent", time.monotonic() - t0)
        words = e2e.event_words(reader.seen)
        self.assertIn("log:resume: guest agent re-initializing networking", words)
        self.assertLess(words.index("log:resume: guest agent re-initializing networking"), words.index("state:running"))
        self.assertFalse(any(w.startswith("error:") or "NIC bounce" in w or "channel unavailable" in w
                             or "didn't respond" in w for w in words), words)
        self.assertFalse(os.path.exists(vm.snapshot), "the snapshot is still there after the resume")
        e2e.wait_until(lambda: "e2e: sshd woken by dhclient" in vm.console(), 30,
                       "the guest's dhclient on its serial console")
        self.assertIn("dhclient: released eth0", vm.console())
        self.assertEqual(self.guest_sh("cat /run/e2e-marker").strip(), "attached-marker",
                         "the guest was booted afresh")

        qemus = vm.qemu_pids()
        self.assertEqual(len(qemus), 1, qemus)
        t1 = time.monotonic()
        proc.stdin.close()
        rest = self.finish(proc, reader, err_path, e2e.STOP_LIMIT)
        self.timed("attached powerdown at end of input", time.monotonic() - t1)
        self.assertEqual(e2e.event_words(rest), ["log:graceful powerdown requested", "log:qemu exited cleanly",
                                                 "state:stopped"])
        self.assertTrue(e2e.wait_gone(qemus, 10))
        self.assertIn("power button pressed", vm.console())

if __name__ == "__main__":
    unittest.main()
