"""The long waits of the management commands: start gives up watching after
180 s, stop after 75 s, hibernate after 600 s. Opt-in (label slow)."""

import os
import unittest

from cli_lifecycle_test import STARTED, LifecycleCase
from cli_support import CliTestCase


class StartWaitLimitTest(LifecycleCase):
    def test_guest_that_never_answers(self):
        self.env["FAKE_QEMU_BANNER"] = "never"  # accepts, closes without a byte
        status, out, err = self.cli("start", "box", timeout=300)
        self.assertEqual((status, err), (0, b""), out)
        self.assert_output(out, STARTED,
                           "still booting (no sshd yet) — follow with: kelvo-vmhelper logs box -f",
                           ["  state: starting"])
        pid = int(STARTED.match(out.decode().split("\n")[0]).group(1))
        self.assertTrue(os.path.exists(f"/proc/{pid}"))
        self.assertEqual(self.json_state(), ("booting", pid))
        status, out, _ = self.cli("stop", "box", "--force")
        self.assertEqual(status, 0, out)


class StopWaitLimitTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.dir, self.cfg_path, _ = self.sb.write_vm("w1", vm_name="stuck")
        # The commands echo only what is appended to an event log that exists.
        with open(os.path.join(self.dir, "helper.out"), "w") as f:
            f.write('{"event":"state","port":2222,"state":"running"}\n')

    def test_helper_ignoring_sigterm(self):
        helper = self.fake_helper(self.cfg_path, on_term="ignore", lifetime=300)
        self.check(["stop", "stuck"], 1, out=(
            f"stopping 'stuck' (graceful powerdown, helper pid {helper.pid})…\n").encode(), err=(
            f"kelvo-vmhelper: helper (pid {helper.pid}) did not exit — retry with: "
            "kelvo-vmhelper stop stuck --force\n").encode(), timeout=200)
        self.assertTrue(helper.alive())

    def test_helper_that_never_finishes_saving(self):
        helper = self.fake_helper(self.cfg_path, on_usr1="saving", lifetime=900)
        self.check(["hibernate", "stuck"], 1, out=(
            "hibernating 'stuck' (saving RAM+device state)…\n"
            "  hibernate requested\n"
            "  state: saving\n").encode(), err=(
            "kelvo-vmhelper: helper is still saving after 10 minutes — check 'logs'\n").encode(),
            timeout=700)
        self.assertTrue(helper.alive())


if __name__ == "__main__":
    unittest.main()
