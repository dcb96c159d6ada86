"""delete: the confirmation prompt, refusal while the helper runs, and
removal that never follows symbolic links."""

import os
import subprocess
import unittest

from cli_support import CliTestCase, OutputReader


def prompt(name, vm_dir):
    return f"Delete '{name}' and all its files under {vm_dir}? [y/N] ".encode()


def deleted(name):
    return (f"deleted '{name}' from this host (an Kelvo-side record, if any, remains in the "
            "app)\n").encode()


class DeleteTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.dir, self.cfg_path, self.cfg = self.sb.write_vm("d1", vm_name="old-box")

    def test_declined_answers_keep_everything(self):
        for answer in [b"", b"\n", b"n\n", b"YES\n", b"Yes\n", b"yess\n", b"no\ny\n"]:
            with self.subTest(answer=answer):
                self.check(["delete", "old-box"], 1,
                           err=prompt("old-box", self.dir) + b"kelvo-vmhelper: aborted\n",
                           stdin=answer)
                self.assertTrue(os.path.exists(self.cfg_path))

    def test_answer_that_is_not_text(self):
        self.check(["delete", "old-box"], 1, stdin=b"y\xff\n",
                   err=prompt("old-box", self.dir) +
                   "kelvo-vmhelper: no confirmation (non-interactive?) — pass --yes\n".encode())
        self.assertTrue(os.path.exists(self.cfg_path))

    def test_accepted_answers(self):
        for i, answer in enumerate([b"  yes \n", b"y", b"Y\r\n", b"\tyes"]):
            with self.subTest(answer=answer):
                d, _, _ = self.sb.write_vm(f"a{i}", vm_name=f"box{i}")
                self.check(["delete", f"a{i}"], 0, out=deleted(f"box{i}"),
                           err=prompt(f"box{i}", d), stdin=answer)
                self.assertFalse(os.path.lexists(d))

    def test_yes_removes_a_hibernated_vm_without_prompt(self):
        with open(self.cfg["save_path"], "wb") as f:
            f.write(b"\0" * 4096)
        os.makedirs(os.path.join(self.dir, "sub", "deeper"))
        self.check(["delete", "--yes", "d1"], 0, out=deleted("old-box"))
        self.assertFalse(os.path.lexists(self.dir))
        self.check(["list", "--json"], 0, out=b"[]\n")

    def test_vm_started_while_the_prompt_waits_is_kept(self):
        deleter = self.sb.start(["delete", "old-box"], stdin=subprocess.PIPE)
        err = OutputReader(deleter.stderr)
        err.wait_for(prompt("old-box", self.dir))
        helper = self.fake_helper(self.cfg_path)  # the app starts the VM meanwhile
        deleter.stdin.write(b"y\n")
        deleter.stdin.close()
        self.assertEqual(deleter.wait(timeout=30), 1)
        err.wait_for(prompt("old-box", self.dir) + (
            f"kelvo-vmhelper: 'old-box' is running (helper pid {helper.pid}) — stop it first\n"
        ).encode())
        self.assertTrue(os.path.exists(self.cfg_path))

    def test_refused_while_the_helper_runs(self):
        helper = self.fake_helper(self.cfg_path)
        self.check(["delete", "old-box", "--yes"], 1, err=(
            f"kelvo-vmhelper: 'old-box' is running (helper pid {helper.pid}) — stop it first\n"
        ).encode())
        self.check(["delete", "old-box"], 1, stdin=b"y\n", err=(
            f"kelvo-vmhelper: 'old-box' is running (helper pid {helper.pid}) — stop it first\n"
        ).encode())
        self.assertTrue(os.path.exists(self.cfg_path))

    def test_links_are_removed_not_followed(self):
        outside = self.sb.path("outside")
        os.makedirs(outside)
        keep = os.path.join(outside, "keep.qcow2")
        with open(keep, "w") as f:
            f.write("data")
        os.symlink(outside, os.path.join(self.dir, "dir-link"))
        os.symlink(keep, os.path.join(self.dir, "disk.qcow2"))
        self.check(["delete", "old-box", "--yes"], 0, out=deleted("old-box"))
        self.assertFalse(os.path.lexists(self.dir))
        self.assertTrue(os.path.exists(keep))

    def test_vm_directory_that_is_a_link_loses_only_the_link(self):
        real = self.sb.path("real-vm")
        os.rename(self.dir, real)
        os.symlink(real, self.dir)
        self.check(["delete", "old-box", "--yes"], 0, out=deleted("old-box"))
        self.assertFalse(os.path.lexists(self.dir))
        self.assertTrue(os.path.exists(os.path.join(real, "helper.json")))

    def test_removal_failure_is_reported(self):
        if os.geteuid() == 0:
            self.skipTest("root may remove entries of a read-only directory")
        vms = os.path.dirname(self.dir)
        os.chmod(vms, 0o555)
        try:
            self.check(["delete", "old-box", "--yes"], 1, err=(
                f"kelvo-vmhelper: remove {self.dir}: Permission denied (os error 13)\n").encode())
        finally:
            os.chmod(vms, 0o755)


if __name__ == "__main__":
    unittest.main()
