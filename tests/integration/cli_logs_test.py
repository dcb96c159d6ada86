"""logs: the -n rules, console mode, and following a growing (and truncated)
event log."""

import os
import resource
import signal
import subprocess
import time
import unittest

from cli_support import CliTestCase, OutputReader
from kelvo_testlib import BIN, BIN_WRAPPER, end_process


class LogsTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.dir, _, self.cfg = self.sb.write_vm("l1", vm_name="dev-box")
        self.log = os.path.join(self.dir, "helper.out")

    def write_log(self, data, path=None):
        with open(path or self.log, "wb") as f:
            f.write(data)

    def numbered(self, n):
        return b"".join(b"line %d\n" % i for i in range(1, n + 1))

    def test_never_started(self):
        self.check(["logs", "dev-box"], 1, err=(
            f"kelvo-vmhelper: {self.log} does not exist — 'dev-box' has not been started yet\n"
        ).encode())
        self.check(["logs", "dev-box", "--console", "-f"], 1, err=(
            f"kelvo-vmhelper: {self.cfg['console_log_path']} does not exist — 'dev-box' has not "
            "booted yet\n").encode())

    def test_not_utf8_is_shown_with_replacement_characters(self):
        self.write_log(b"ok\n\xff\xfe\n")
        self.check(["logs", "dev-box"], 0, out="ok\n\ufffd\ufffd\n".encode())

    def test_named_pipe_is_not_a_log(self):
        os.mkfifo(self.log)
        self.check(["logs", "dev-box", "-f"], 1, err=(
            f"kelvo-vmhelper: cannot read {self.log}: not a regular file\n").encode(), timeout=20)

    def test_line_count_rules(self):
        self.write_log(self.numbered(60))
        last = lambda n: self.numbered(60)[len(self.numbered(60 - n)):]
        cases = [
            ([], last(50)),
            (["-n", "3"], last(3)),
            (["-n", "+3"], last(3)),
            (["-n", "0"], b""),
            (["-n", "100"], last(60)),
            (["-n", "abc"], last(50)),
            (["-n", "-5"], last(50)),
            (["-n"], last(50)),
            (["-n", "18446744073709551615"], last(60)),
            (["-n", "18446744073709551616"], last(50)),
            (["-n", "2", "-n", "4"], last(2)),
        ]
        for options, out in cases:
            with self.subTest(options=options):
                self.check(["logs", "dev-box"] + options, 0, out=out)

    def test_lines_printed_as_stored(self):
        self.write_log(b'{"event":"state","state":"starting"}\r\nplain\n\n  indented  \nlast')
        self.check(["logs", "dev-box"], 0,
                   out=b'{"event":"state","state":"starting"}\nplain\n\n  indented  \nlast\n')

    def test_console(self):
        self.write_log(b"events\n")
        self.write_log(b"boot 1\nboot 2\nlogin:", path=self.cfg["console_log_path"])
        self.check(["logs", "dev-box", "--console", "-n", "2"], 0, out=b"boot 2\nlogin:\n")

    def test_last_lines_of_a_huge_console_log_take_little_memory(self):
        console, limit = self.cfg["console_log_path"], 512 << 20
        run = lambda *args: subprocess.run(
            BIN_WRAPPER + [BIN, "logs", "dev-box", "--console"] + list(args), capture_output=True,
            env=self.sb.env(), cwd=self.sb.root, timeout=30, preexec_fn=lambda: resource.setrlimit(
                resource.RLIMIT_AS, (limit, limit)))
        self.write_log(b"boot\n", path=console)
        if run().returncode != 0:
            self.skipTest("the binary does not start under a 512 MiB address-space limit")
        with open(console, "r+b") as f:  # 4 GiB, sparse: no disk space taken
            f.truncate(4 << 30)
            f.seek(0, os.SEEK_END)
            f.write(b"\nfirmware \xc4\xff\x1b[2J\r\nlogin:")
        got = run("-n", "2")
        self.assertEqual((got.returncode, got.stdout, got.stderr),
                         (0, b"firmware \xef\xbf\xbd\xef\xbf\xbd\x1b[2J\nlogin:\n", b""))

    def follow(self, *options):
        proc = self.sb.start(["logs", "dev-box", "-f"] + list(options),
                             stderr=subprocess.DEVNULL)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(end_process, proc.pid)
        return proc, OutputReader(proc.stdout)

    def append(self, data):
        with open(self.log, "ab") as f:
            f.write(data)

    def test_follow_prints_appended_lines(self):
        self.write_log(self.numbered(10))
        proc, out = self.follow("-n", "3")
        out.wait_for(b"line 8\nline 9\nline 10\n")
        self.append(b"eleven\npart")
        out.wait_for(b"line 8\nline 9\nline 10\neleven\n")
        self.append(b"ial  \r\n")
        out.wait_for(b"line 8\nline 9\nline 10\neleven\npartial\n")
        self.assertIsNone(proc.poll())

    def test_follow_with_zero_lines_shows_only_new_ones(self):
        self.write_log(self.numbered(10))
        _, out = self.follow("-n", "0")
        time.sleep(0.7)
        self.append(b"new\n")
        out.wait_for(b"new\n")

    def test_follow_starts_over_after_truncation(self):
        self.write_log(self.numbered(10))
        _, out = self.follow("--follow", "-n", "1")
        out.wait_for(b"line 10\n")
        # start truncates helper.out and the new helper writes its first lines.
        self.write_log(b'{"event":"state","state":"starting"}\n')
        out.wait_for(b'line 10\n{"event":"state","state":"starting"}\n')
        self.append(b"more\n")
        out.wait_for(b'line 10\n{"event":"state","state":"starting"}\nmore\n')

    def test_follow_ends_when_the_reader_goes_away(self):
        self.write_log(b"one\n")
        read_end, write_end = os.pipe()
        proc = self.sb.start(["logs", "dev-box", "-f"], stdout=write_end)
        os.close(write_end)
        self.assertEqual(os.read(read_end, 100), b"one\n")
        os.close(read_end)
        self.append(b"two\n")
        self.assertEqual(proc.wait(timeout=20), -signal.SIGPIPE)
        self.assertEqual(proc.stderr.read(), b"")
        proc.stderr.close()


if __name__ == "__main__":
    unittest.main()
