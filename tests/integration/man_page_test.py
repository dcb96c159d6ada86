"""The manual page (built beside the program from doc/kelvo-vmhelper.1.in) agrees with `help`: each entry of MANAGEMENT COMMANDS
and PLUMBING COMMANDS (syntax followed by its one-line description) is in the
page's text, and .TH names the version."""

import itertools
import os
import re
import shlex
import subprocess
import unittest

from kelvo_testlib import BIN

MAN_PAGE = os.path.join(os.path.dirname(os.path.abspath(BIN)), "kelvo-vmhelper.1")
ESCAPES = [(r"\\f(\[[^]]*\]|\(..|.)", ""), (r"\\\(em", "—"), (r"\\-", "-"), (r"\\&", "")]


def output(*args):
    return subprocess.run([BIN, *args], capture_output=True, text=True, check=True).stdout


def help_entries(section):
    """Lines indented by two spaces are entries (columns split at runs of
    spaces); deeper lines continue the last one."""
    lines = output("help").split("\n" + section, 1)[1].splitlines()[1:]
    entries = []
    for line in itertools.takewhile(lambda l: not l or l.startswith(" "), lines):
        if line.startswith("   "):
            entries[-1] += " " + line.strip()
        elif line:
            entries.append(" ".join(re.split(r"\s{2,}", line.strip())))
    return entries


def man_text(source):
    """Running text: requests dropped, font macros and escapes made plain."""
    kept = []
    for line in source.splitlines():
        if re.match(r"\.[BIR]{1,2}\s", line):
            kept.append(line.split(None, 1)[1].replace('"', ""))
        elif not line.startswith((".", "'")):
            kept.append(line)
    text = " ".join(kept)
    for pattern, plain in ESCAPES:
        text = re.sub(pattern, lambda _: plain, text)
    return re.sub(r"\s+", " ", text)


class ManPageTest(unittest.TestCase):
    def setUp(self):
        with open(MAN_PAGE, encoding="utf-8") as f:
            self.source = f.read()

    def test_every_help_entry_is_in_the_page(self):
        text = man_text(self.source)
        entries = {section: help_entries(section)
                   for section in ("MANAGEMENT COMMANDS", "PLUMBING COMMANDS")}
        self.assertEqual([len(e) > 2 for e in entries.values()], [True, True], entries)
        missing = [e for section in entries.values() for e in section if e not in text]
        self.assertEqual(missing, [], "help entries missing from the man page")

    def test_th_names_the_version(self):
        th = next(line for line in self.source.splitlines() if line.startswith(".TH "))
        self.assertEqual(shlex.split(th)[4], "kelvo-vmhelper " + output("version").strip())


if __name__ == "__main__":
    unittest.main()
