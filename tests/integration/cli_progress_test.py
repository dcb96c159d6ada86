"""The live status line of start, stop, hibernate and provision on a
terminal: drawn while they wait, redrawn, never wider than the terminal,
erased before each regular line; and never drawn anywhere else."""

import os
import re
import unittest

from cli_lifecycle_test import STARTED, LifecycleCase
from cli_support import run_on_terminal, status_lines
from provision_support import IMAGE_NAME, ProvisionBed, default_sums, sha256

CONSOLE_LAST = "[  OK  ] Started ssh.service - OpenBSD Secure Shell server."


class ProgressLineTest(LifecycleCase):
    def setUp(self):
        super().setUp()
        self.env.update({"TERM": "xterm", "FAKE_QEMU_BOOT_DELAY": "3",
                         "FAKE_QEMU_POWERDOWN_DELAY": "2", "FAKE_QEMU_MIGRATE_DELAY": "2"})

    def on_terminal(self, *args, columns=200, env=None):
        """Runs a command with both streams on a terminal: its status, regular
        text and status lines drawn."""
        status, received, _ = run_on_terminal(self.sb.command(list(args)), env or self.env,
                                              columns=columns)
        regular, drawn = status_lines(received)
        for line in drawn:
            self.assertLess(len(line), columns, line)
        return status, regular, drawn

    def matching(self, drawn, pattern, at_least=1):
        found = [line for line in drawn if re.fullmatch(pattern, line)]
        self.assertGreaterEqual(len(found), at_least, f"{pattern!r} in {drawn!r}")
        return found

    def test_boot_shows_the_wait_and_the_console(self):
        status, regular, drawn = self.on_terminal("start", "box")
        self.assertEqual(status, 0, regular)
        self.assert_output(regular, STARTED,
                           f"'box' is running — guest sshd on 127.0.0.1:{self.port}",
                           ["  state: starting"])
        waiting = re.escape(f"waiting for sshd on 127.0.0.1:{self.port}")
        self.matching(drawn, rf"\d+ s  {waiting}( — .*)?", at_least=3)
        self.matching(drawn, rf"[0-9] s  {waiting} — BdsDxe: loading Boot0001 .*")
        self.matching(drawn, rf"[23] s  {waiting} — {re.escape(CONSOLE_LAST)}")

        # Hibernate: the partial snapshot's growth, on a narrow terminal.
        status, regular, drawn = self.on_terminal("hibernate", "box", columns=40)
        self.assertEqual(status, 0, regular)
        self.assertTrue(regular.decode().endswith(
            "'box' hibernated (3 MiB snapshot) — 'start' resumes it\n"), regular)
        self.matching(drawn, r"saving RAM\+device state … [0-9.,/ MiBs]*…", at_least=3)
        self.assertTrue(any("… 1 MiB" in line for line in drawn), drawn)

        # Resume: the phases; the agent brings the guest's network back.
        self.env.update({"FAKE_QEMU_BANNER": "after-exec", "FAKE_QEMU_REINIT_DELAY": "2"})
        status, regular, drawn = self.on_terminal("start", "box")
        self.assertEqual(status, 0, regular)
        self.matching(drawn, r"\d+ s  resuming: guest agent re-initializing networking",
                      at_least=2)

        # Stop: the wait against the powerdown limit.
        status, regular, drawn = self.on_terminal("stop", "box")
        self.assertEqual(status, 0, regular)
        self.assertTrue(regular.endswith(b"  state: stopped\n'box' stopped\n"), regular)
        self.matching(drawn, r"powering down … [0-2] s of 45 s", at_least=3)

    def test_no_status_line_on_a_pipe_or_a_dumb_terminal(self):
        self.start_box(["  state: starting"])
        status, received, out = run_on_terminal(
            self.sb.command(["stop", "box", "--force"]), self.env, stdout_on_terminal=False)
        self.assertEqual((status, received), (0, b""))
        self.assertRegex(out.decode(), r"^force-killing 'box' \(helper pid \d+\)…\n'box' stopped\n$")
        env = dict(self.env, TERM="dumb")
        status, received, _ = run_on_terminal(self.sb.command(["stop", "box"]), env)
        self.assertEqual((status, received), (1, b"kelvo-vmhelper: 'box' is not running\n"))


class DownloadProgressTest(unittest.TestCase):
    def test_download_shows_its_progress_on_standard_error(self):
        image = os.urandom(3 << 20)
        bed = ProvisionBed(self, sums=default_sums(sha256(image)), image=image)
        _, config_path, _ = bed.write_vm()
        env = bed.env(TERM="xterm", FAKE_CURL_SLOW="2")
        command = bed.sandbox.command(["provision", "--config", config_path])
        status, received, out = run_on_terminal(command, env, stdout_on_terminal=False)
        self.assertEqual(status, 0, out)
        self.assertIn(f'"downloading {IMAGE_NAME}"'.encode(), out)
        regular, drawn = status_lines(received)
        self.assertEqual(regular, b"")
        self.assertGreaterEqual(len([line for line in drawn if re.fullmatch(
            re.escape(f"downloading {IMAGE_NAME} … 1 MiB, ") + r"[0-9.]+ MiB/s, [1-3] s",
            line)]), 2, drawn)
        self.assertNotIn(b"\x1b", out)


if __name__ == "__main__":
    unittest.main()
