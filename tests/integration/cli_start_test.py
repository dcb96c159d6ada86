"""start: the checks before launching a helper, and launch failures."""

import os
import unittest

from cli_support import CliTestCase


class StartChecksTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.dir, self.cfg_path, self.cfg = self.sb.write_vm("st1", vm_name="box")
        self.log = os.path.join(self.dir, "helper.out")

    def test_already_running_leaves_the_event_log_alone(self):
        with open(self.cfg["disk_path"], "w"):
            pass
        with open(self.log, "w") as f:
            f.write("previous run\n")
        helper = self.fake_helper(self.cfg_path)
        self.check(["start", "box"], 1, err=(
            f"kelvo-vmhelper: 'box' is already running (helper pid {helper.pid})\n").encode())
        with open(self.log) as f:
            self.assertEqual(f.read(), "previous run\n")

    def test_no_disk(self):
        message = ("kelvo-vmhelper: 'box' has no disk yet — it was never provisioned "
                   "(create/start it from Kelvo once)\n").encode()
        self.check(["start", "box"], 1, err=message)
        os.symlink(self.sb.path("gone.qcow2"), self.cfg["disk_path"])
        self.check(["start", "box"], 1, err=message)
        self.assertFalse(os.path.exists(self.log))

    def test_event_log_cannot_be_created(self):
        with open(self.cfg["disk_path"], "w"):
            pass
        os.makedirs(self.log)
        self.check(["start", "box"], 1, err=(
            f"kelvo-vmhelper: create {self.log}: Is a directory (os error 21)\n").encode())


if __name__ == "__main__":
    unittest.main()
