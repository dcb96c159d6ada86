"""`run` at its long limits: the 15 s QMP connect window, the bound on a
silent monitor's handshake, and the 45 s powerdown limit."""

import signal
import time
import unittest

from run_support import RunCase, log, running, state

QUIT_OR_KILLED = [log("qemu exited cleanly"), log("qemu exited with status signal: 9 (SIGKILL)")]


class LimitsTest(RunCase):
    def test_qemu_exiting_at_once(self):
        run = self.start_run({"FAKE_QEMU_EXIT": "1"})
        run.expect(state("starting"), self.launching())
        launched = time.monotonic()
        run.expect(log(f"QMP unavailable (QMP connect {self.vm_file('qmp.sock')}: "
                       f"No such file or directory (os error 2)); stop will hard-kill"),
                   timeout=60)
        self.assertGreaterEqual(time.monotonic() - launched, 14)
        run.expect(log("qemu exited with status exit status: 1"), state("stopped"))
        run.finish(0)

    def test_silent_monitor_does_not_hold_up_start_up(self):
        run = self.start_run({"FAKE_QEMU_QMP": "silent"})
        run.expect(state("starting"), self.launching())
        unavailable = log("QMP unavailable (QMP handshake timed out); stop will hard-kill")
        first = run.expect_one_of([unavailable, running(self.port)], timeout=60)
        if first != unavailable:
            run.expect(unavailable, timeout=60)
        run.signal(signal.SIGTERM)
        run.expect(log("graceful powerdown requested"),
                   log("qemu exited with status signal: 9 (SIGKILL)"), state("stopped"))
        run.finish(0)

    def ask_powerdown(self, run):
        """Sends a stop; returns when `run` has passed it on to the guest."""
        run.signal(signal.SIGTERM)
        run.expect(log("graceful powerdown requested"))
        return time.monotonic()

    def expect_forced_after_45_seconds(self, run, asked):
        """The powerdown asked at `asked` is forced no sooner than 45 s later,
        and `run` ends stopped."""
        run.expect(log("powerdown timed out; forcing"), timeout=90)
        self.assertGreaterEqual(time.monotonic() - asked, 44)
        run.expect_one_of(QUIT_OR_KILLED)
        run.expect(state("stopped"))
        run.finish(0)

    def test_ignored_powerdown_is_forced_after_45_seconds(self):
        run = self.start_run({"FAKE_QEMU_POWERDOWN": "ignore"})
        self.boot(run)
        asked = self.ask_powerdown(run)
        self.expect_forced_after_45_seconds(run, asked)
        self.assertEqual(self.qmp_commands()[-2:], ["system_powerdown", "quit"])

    def test_second_stop_moves_the_deadline(self):
        run = self.start_run({"FAKE_QEMU_POWERDOWN": "ignore"})
        self.boot(run)
        self.ask_powerdown(run)
        time.sleep(10)
        second = self.ask_powerdown(run)
        self.expect_forced_after_45_seconds(run, second)
        self.assertEqual(self.qmp_commands().count("system_powerdown"), 2)


if __name__ == "__main__":
    unittest.main()
