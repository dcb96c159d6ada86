"""`run`: standard-input commands of an attached supervisor, end of input,
and detached mode."""

import os
import signal
import subprocess
import time
import unittest

from kelvo_testlib import wait_until
from run_support import RunCase, error, log, running, state

KILLED_OR_QUIT = [log("qemu exited with status signal: 9 (SIGKILL)"), log("qemu exited cleanly")]


class AttachedTest(RunCase):
    def start_attached(self, env=None):
        return self.start_run(env, attached=True, stdin=subprocess.PIPE)

    def test_stop_command(self):
        run = self.start_attached()
        self.boot(run)
        run.command('{"cmd":"stop"}')
        run.expect(log("graceful powerdown requested"), log("qemu exited cleanly"), state("stopped"))
        run.finish(0)

    def test_kill_command_quits_then_kills(self):
        run = self.start_attached()
        self.boot(run)
        qemu = self.qemu_pid()
        run.command('{"cmd":"kill"}')
        run.expect(log("hard kill requested"))
        # `quit` may end QEMU before the SIGKILL arrives.
        run.expect_one_of(KILLED_OR_QUIT)
        run.expect(state("stopped"))
        run.finish(0)
        self.assertEqual(self.qmp_commands(), ["qmp_capabilities", "query-status", "quit"])
        self.assert_gone(qemu)

    def test_end_of_input_is_a_stop(self):
        run = self.start_attached()
        self.boot(run)
        run.proc.stdin.close()  # the SSH session is gone
        run.expect(log("graceful powerdown requested"), log("qemu exited cleanly"), state("stopped"))
        run.finish(0)

    def test_input_already_at_end_stops_once_supervision_begins(self):
        run = self.start_run({"FAKE_QEMU_BANNER": "never"}, attached=True,
                             stdin=subprocess.DEVNULL)
        run.expect(state("starting"), self.launching(), log("graceful powerdown requested"),
                   log("qemu exited cleanly"), state("stopped"))
        run.finish(0)

    def test_malformed_and_unknown_lines_are_ignored(self):
        run = self.start_attached()
        self.boot(run)
        for line in ["not json", "", "   ", '{"cmd":"Stop"}', '{"cmd":"STOP"}', '{"cmd":1}',
                     '{"cmd":null}', '["stop"]', '"stop"', '{"command":"stop"}',
                     '{"cmd":"reboot"}', '{"cmd":"stop"']:
            run.command(line)
        run.no_event_for(2)
        run.command('  {"why":"test","cmd":"stop"}\r')
        run.expect(log("graceful powerdown requested"), log("qemu exited cleanly"), state("stopped"))
        run.finish(0)

    def test_hibernate_command(self):
        run = self.start_attached()
        self.boot(run)
        run.command('{"cmd":"hibernate"}')
        run.expect(log("hibernate requested"), state("saving"), state("hibernated"))
        run.expect_one_of(KILLED_OR_QUIT)
        run.finish(0)
        with open(self.cfg["save_path"], "rb") as f:
            self.assertTrue(f.read().startswith(b"FAKE-QEMU-SNAPSHOT"))


class DetachedTest(RunCase):
    def test_standard_input_is_never_read(self):
        run = self.start_run(stdin=subprocess.PIPE)
        self.boot(run)
        run.command('{"cmd":"kill"}')
        run.proc.stdin.close()
        run.no_event_for(3)
        self.stop(run)

    def test_attached_marker_must_be_text(self):
        run = self.start_run({"KELVO_HELPER_ATTACHED": b"\xff\xfe"}, stdin=subprocess.PIPE)
        self.boot(run)
        run.command('{"cmd":"stop"}')
        run.no_event_for(3)
        self.stop(run)

    def test_empty_attached_marker_counts(self):
        run = self.start_run({"KELVO_HELPER_ATTACHED": ""}, stdin=subprocess.PIPE)
        self.boot(run)
        run.command('{"cmd":"stop"}')
        run.expect(log("graceful powerdown requested"), log("qemu exited cleanly"), state("stopped"))
        run.finish(0)



class FaultTest(RunCase):
    def test_qemu_killed_during_the_powerdown(self):
        run = self.start_run({"FAKE_QEMU_POWERDOWN": "ignore"})
        self.boot(run)
        qemu = self.qemu_pid()
        run.signal(signal.SIGTERM)
        run.expect(log("graceful powerdown requested"))
        wait_until(lambda: "system_powerdown" in self.qmp_commands(), 10, what="powerdown")
        time.sleep(0.3)  # its reply read: the supervisor waits for the guest
        os.kill(qemu, signal.SIGKILL)
        # Well within the powerdown limit: the end is seen, not waited out.
        run.expect(log("qemu exited with status signal: 9 (SIGKILL)"), state("stopped"),
                   timeout=20)
        run.finish(0)

    def test_signal_storm(self):
        run = self.start_run({"FAKE_QEMU_SNAPSHOT_BYTES": str(4 << 20)})
        self.boot(run)
        qemu = self.qemu_pid()
        for _ in range(100):
            run.signal(signal.SIGUSR1)
            run.signal(signal.SIGTERM)
        rest = run.rest(timeout=120)
        self.assertEqual(run.wait(), 0, rest)
        self.assert_gone(qemu)
        self.assertLessEqual(self.qmp_commands().count("migrate"), 1)
        # The events tell the end truly: a snapshot exactly when hibernated.
        final = [e["state"] for e in rest if e.get("event") == "state"][-1]
        self.assertIn(final, ("stopped", "hibernated"), rest)
        self.assertEqual(os.path.exists(self.cfg["save_path"]), final == "hibernated", rest)


if __name__ == "__main__":
    unittest.main()
