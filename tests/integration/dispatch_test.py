"""The command line: help, version, usage lines, configuration errors and the
hand-over of other words to the management front end."""

import os
import re
import signal
import subprocess
import time
import unittest

from kelvo_testlib import BIN, Sandbox, events

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../CMakeLists.txt")) as f:
    VERSION = re.search(r"^project\(kelvo-vmhelper VERSION ([0-9.]+)", f.read(), re.M).group(1)
HELP_FIRST = f"kelvo-vmhelper {VERSION} — Kelvo VM helper for Linux hosts (QEMU/KVM)\n"
UNKNOWN = "kelvo-vmhelper: unknown command '{}' — run 'kelvo-vmhelper help' for usage\n"


class DispatchTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()

    def tearDown(self):
        self.box.close()

    def run_bin(self, *args, **kwargs):
        status, out, err = self.box.run(list(args), **kwargs)
        return status, out.decode(), err.decode()

    def test_help_text_and_statuses(self):
        status, out, err = self.run_bin()
        self.assertEqual((status, err), (2, ""))
        lines = out.split("\n")
        self.assertEqual(len(lines), 49)  # 48 lines, each ending with a newline
        self.assertEqual(lines[-1], "")
        self.assertTrue(out.startswith(HELP_FIRST))
        self.assertIn("\n  logs <vm> [-f] [-n N] [--console]\n"
                      "                            Show the helper event log (-f follows; --console\n", out)
        self.assertIn("\n  run       --config <helper.json>    Boot the VM, stream NDJSON events\n", out)
        self.assertTrue(out.endswith("\nEXAMPLES:\n  kelvo-vmhelper list\n  kelvo-vmhelper start dev-box\n"
                                     "  kelvo-vmhelper logs dev-box -f\n  kelvo-vmhelper stop dev-box\n"))
        for word in ("help", "--help", "-h"):
            self.assertEqual(self.run_bin(word, "extra", "words"), (0, out, ""), word)

    def test_version(self):
        for args in (["version"], ["--version"], ["-V"], ["version", "more", "words"]):
            self.assertEqual(self.run_bin(*args), (0, VERSION + "\n", ""), args)

    def test_plumbing_usage_lines(self):
        cases = [
            ["run"],
            ["run", "--config"],
            ["run", "-c", "x.json"],
            ["run", "--config=x.json"],
            ["run", "x.json", "--config"],
            ["validate", "--conf", "x.json"],
            ["provision"],
        ]
        for args in cases:
            expected = f"usage: kelvo-vmhelper {args[0]} --config <helper.json>\n"
            self.assertEqual(self.run_bin(*args), (2, "", expected), args)

    def test_missing_config_is_one_error_event(self):
        for word in ("run", "validate", "provision"):
            status, out, err = self.run_bin(word, "--config", "no/such.json", "ignored-extra")
            self.assertEqual((status, err), (2, ""), word)
            self.assertEqual(out, '{"event":"error","message":"read config no/such.json: '
                                  'No such file or directory (os error 2)"}\n', word)

    def test_invalid_config_is_one_error_event(self):
        path = self.box.path("empty.json")
        with open(path, "w") as f:
            f.write("{}")
        status, out, err = self.run_bin("validate", "--config", path)
        self.assertEqual((status, err), (2, ""))
        self.assertEqual(events(out.encode()),
                         [{"event": "error",
                           "message": "parse config: missing field `disk_path` at line 1 column 2"}])

    def test_other_words_go_to_the_management_front_end(self):
        for word in ("Version", "HELP", "restart", ""):
            self.assertEqual(self.run_bin(word), (1, "", UNKNOWN.format(word)), repr(word))

    def test_help_into_a_closed_pipe_ends_quietly(self):
        proc = subprocess.run(f"'{BIN}' help | head -1", shell=True, capture_output=True, timeout=30)
        self.assertEqual(proc.stdout.decode(), HELP_FIRST)
        self.assertEqual(proc.stderr, b"")

    def test_version_into_a_closed_pipe_does_not_crash(self):
        # SIGPIPE stays ignored for version: the write fails, the status is 0.
        r, w = os.pipe()
        os.close(r)
        proc = subprocess.run([BIN, "version"], stdout=w, capture_output=False,
                              stderr=subprocess.PIPE, timeout=30)
        os.close(w)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""))


if __name__ == "__main__":
    unittest.main()
