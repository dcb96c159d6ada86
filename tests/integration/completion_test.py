"""doc/kelvo-vmhelper.bash-completion, sourced in bash with a private HOME:
command words, flags, the file after --config, and VM names from the store."""

import json
import os
import subprocess
import unittest

from kelvo_testlib import Sandbox

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                      "../../doc/kelvo-vmhelper.bash-completion")
# Calls the function registered for kelvo-vmhelper on the words "$@" (the last
# one being completed) and prints COMPREPLY, one entry a line.
DRIVER = r"""source "$0" || exit 1
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
fn=$(complete -p kelvo-vmhelper); fn=${fn##*-F }
"${fn%% *}" kelvo-vmhelper "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
printf '%s\n' "${COMPREPLY[@]}"
"""
ID_NAMED, ID_HOSTNAME, ID_BARE = "3f9c2a7e-41d8", "7a1e0c55-9b02", "0123456789abcdef"
NAMES = "0123456789ab build-runner dev-box"  # vm_name, meta-data, short id
CASES = [
    ("", "delete help hibernate list logs ls provision run start status stop validate version"),
    ("l", "list logs ls"),
    ("stop -", "--force"),
    ("stop dev-box ", "--force"),
    ("logs dev-box -", "--console -f -n"),
    ("ls ", "--json"),
    ("status ", NAMES),
    ("delete b", "build-runner"),
    ("status dev-box ", ""),
    ("validate ", "--config"),
    ("run --config hel", "helper.json"),
]


class CompletionTest(unittest.TestCase):
    def test_completions(self):
        with Sandbox() as sb:
            sb.write_vm(ID_NAMED, vm_name="dev-box")
            directory, _, _ = sb.write_vm(ID_HOSTNAME)
            with open(os.path.join(directory, "meta-data"), "w") as f:
                f.write("instance-id: x\nlocal-hostname: build-runner\n")
            sb.write_vm(ID_BARE)
            # The names offered are the ones the program itself shows.
            listed = json.loads(sb.run(["list", "--json"])[1])
            self.assertEqual(sorted(vm["name"] for vm in listed), NAMES.split())
            for line, expected in CASES:
                with self.subTest(line=line):
                    got = subprocess.run(["bash", "-c", DRIVER, SCRIPT, "kelvo-vmhelper"]
                                         + line.split(" "), env=sb.env(), cwd=directory,
                                         capture_output=True, text=True, timeout=30)
                    self.assertEqual(sorted(got.stdout.split()), expected.split(), got.stderr)


if __name__ == "__main__":
    unittest.main()
