"""Management commands against odd files in the store, hostile names and
output that cannot be written."""

import json
import os
import resource
import subprocess
import unittest

import kelvo_testlib
from cli_support import CliTestCase

HOSTILE = "evil\r\x1b[2Kname\nfake row\x07"
SHOWN = "evil\\r\\x1b[2Kname\\nfake row\\x07"


class HostileStoreTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.dir, self.cfg_path, self.cfg = self.sb.write_vm("h1", vm_name="web")
        self.log = os.path.join(self.dir, "helper.out")

    def raw(self, args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, preexec_fn=None):
        """Runs the binary with the given streams; returns (status, stderr)."""
        proc = subprocess.run(kelvo_testlib.BIN_WRAPPER + [kelvo_testlib.BIN] + args, stdin=stdin,
                              stdout=stdout, stderr=subprocess.PIPE, env=self.sb.env(),
                              timeout=30, preexec_fn=preexec_fn)
        return proc.returncode, proc.stderr

    def test_start_replaces_a_linked_event_log(self):
        victim = self.sb.path("important")
        with open(victim, "w") as f:
            f.write("important")
        os.symlink(victim, self.log)
        with open(self.cfg["disk_path"], "wb"):
            pass
        status, _, _ = self.run_cli("start", "web")  # the helper then fails: no firmware
        self.assertEqual(status, 1)
        with open(victim) as f:
            self.assertEqual(f.read(), "important")
        self.assertFalse(os.path.islink(self.log))
        self.assertEqual(os.stat(self.log).st_mode & 0o777, 0o600)

    def test_endless_files_are_not_read_forever(self):
        os.symlink("/dev/zero", self.log)
        helper = self.fake_helper(self.cfg_path, log=self.sb.path("elsewhere.out"))
        self.check(["stop", "web"], 0, timeout=30, out=(
            f"stopping 'web' (graceful powerdown, helper pid {helper.pid})…\n"
            "'web' stopped\n").encode())
        with open("/dev/zero", "rb") as zero:
            self.assertEqual(self.raw(["delete", "web"], stdin=zero), (1, (
                "Delete 'web' and all its files under %s? [y/N] kelvo-vmhelper: no confirmation "
                "(non-interactive?) — pass --yes\n" % self.dir).encode()))

    def test_output_that_cannot_be_written_fails(self):
        with open("/dev/full", "wb") as full:
            for args in (["list", "--json"], ["status", "web"], ["logs", "web"]):
                if args[0] == "logs":
                    with open(self.log, "w") as f:
                        f.write("line\n" * 20000)
                self.assertEqual(self.raw(args, stdout=full), (1, (
                    b"kelvo-vmhelper: write standard output: No space left on device (os error 28)\n")),
                    args)
        for args in (["status", "web"], ["version"], ["help"], ["start", "web"]):
            closed = self.raw(args, preexec_fn=lambda: os.close(1))
            self.assertEqual(closed, (1, b"kelvo-vmhelper: write standard output: "
                                         b"Bad file descriptor (os error 9)\n"), args)
        # A reader that leaves early ends the program quietly.
        for i in range(40):
            self.sb.write_vm(f"v{i:02}", vm_name=f"vm{i:02}")
        lister = subprocess.Popen(kelvo_testlib.BIN_WRAPPER + [kelvo_testlib.BIN, "list"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.sb.env())
        lister.stdout.close()
        _, err = lister.communicate(timeout=30)
        self.assertEqual(err, b"")

    def test_control_bytes_are_escaped_for_people_only(self):
        self.sb.write_vm("h1", vm_name=HOSTILE)
        status, out, _ = self.run_cli("list")
        self.assertEqual(status, 0)
        self.assertEqual(out.count(b"\n"), 2, out)
        self.assertIn(SHOWN.encode(), out)
        status, out, _ = self.run_cli("list", "--json")
        self.assertEqual(json.loads(out)[0]["name"], HOSTILE)
        status, out, _ = self.run_cli("status", "h1")
        self.assertTrue(out.startswith(SHOWN.encode() + b"\n"), out)
        self.assertEqual(self.run_cli("stop", "h1"), (1, b"", (
            f"kelvo-vmhelper: '{SHOWN}' is not running\n").encode()))

    def test_console_log_reading(self):
        console = self.cfg["console_log_path"]
        with open(console, "wb") as f:
            f.write(b"BdsDxe: \xc9\xcd\xcd boot\n")
        self.check(["logs", "web", "--console"], 0, out="BdsDxe: \ufffd\ufffd\ufffd boot\n".encode())
        os.remove(console)
        self.check(["logs", "web", "--console"], 1, err=(
            f"kelvo-vmhelper: {console} does not exist — 'web' has not booted yet\n").encode())
        for make, reason in [(os.mkdir, "Is a directory (os error 21)"),
                             (os.mkfifo, "not a regular file")]:
            make(console)
            self.check(["logs", "web", "--console"], 1, timeout=20, err=(
                f"kelvo-vmhelper: cannot read {console}: {reason}\n").encode())
            (os.rmdir if make is os.mkdir else os.remove)(console)

    def test_failed_delete_can_be_finished(self):
        deep = self.dir
        for _ in range(40):
            deep = os.path.join(deep, "d")
        os.makedirs(deep)
        status, err = self.raw(["delete", "web", "--yes"], preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_NOFILE, (16, 16)))
        self.assertEqual(status, 1, err)
        self.assertIn(b"Too many open files (os error 24)", err)
        self.assertEqual(self.run_cli("list")[0], 0)
        self.assertIn(b"web", self.run_cli("list")[1])
        status, out, _ = self.run_cli("delete", "web", "--yes")
        self.assertEqual(status, 0, out)
        self.assertFalse(os.path.exists(self.dir))


if __name__ == "__main__":
    unittest.main()
