"""The validate command through the built binary: the emulator, firmware and
KVM checks in order, with a fake emulator first on PATH and a private HOME."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

import kelvo_testlib

BIN = kelvo_testlib.BIN
EMULATOR = kelvo_testlib.QEMU
TIMEOUT = 60

NOT_FOUND = f"{EMULATOR} not found — install qemu-system"
NO_KVM = "/dev/kvm missing — KVM not available on this host"


def error_line(message):
    return json.dumps({"event": "error", "message": message}, ensure_ascii=False,
                      separators=(",", ":")) + "\n"


class ValidateTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="kelvo-validate-")
        self.home = os.path.join(self.root, "home")
        self.bin = os.path.join(self.root, "bin")
        self.vm = os.path.join(self.root, "vm")
        for d in (self.home, self.bin, self.vm):
            os.makedirs(d)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def fake_emulator(self, body):
        path = os.path.join(self.bin, EMULATOR)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)

    def write_config(self, **overrides):
        config = {
            "disk_path": os.path.join(self.vm, "disk.qcow2"),
            "seed_path": os.path.join(self.vm, "seed.iso"),
            "efi_store_path": os.path.join(self.vm, "efi-vars.fd"),
            "machine_identifier_path": os.path.join(self.vm, "machine-id"),
            "console_log_path": os.path.join(self.vm, "console.log"),
            "save_path": "",
            "mac_address": "52:54:00:12:34:56",
            "cpu_count": 2,
            "memory_mib": 2048,
            "isolated": False,
            "ssh_host_port": 2222,
        }
        config.update(overrides)
        path = os.path.join(self.vm, "helper.json")
        with open(path, "w") as f:
            json.dump(config, f)
        return path

    def firmware_pair(self):
        fw = os.path.join(self.root, "fw")
        os.makedirs(fw)
        for name in ("OVMF_CODE.fd", "OVMF_VARS.fd"):
            with open(os.path.join(fw, name), "wb") as f:
                f.write(b"\0" * 64)
        return os.path.join(fw, "OVMF_CODE.fd")

    def validate(self, config_path):
        # Only the fakes are on PATH, so an installed emulator never answers.
        env = {"HOME": self.home, "PATH": self.bin}
        proc = subprocess.run([BIN, "validate", "--config", config_path], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()

    def test_missing_emulator(self):
        config = self.write_config(firmware_path=self.firmware_pair())
        self.assertEqual(self.validate(config), (1, error_line(NOT_FOUND), ""))

    def test_emulator_failing_its_version_query(self):
        self.fake_emulator('echo "version query failed: $*" >&2\nexit 1')
        config = self.write_config(firmware_path=self.firmware_pair())
        self.assertEqual(self.validate(config), (1, error_line(NOT_FOUND), ""))

    def test_unusable_firmware_override(self):
        self.fake_emulator("exit 0")
        missing = os.path.join(self.root, "nowhere", "OVMF_CODE.fd")
        config = self.write_config(firmware_path=missing)
        expected = error_line(f"firmware_path {missing} not usable (CODE or VARS missing)")
        self.assertEqual(self.validate(config), (1, expected, ""))

    def test_firmware_present_then_kvm_decides(self):
        # The emulator's own output never reaches the event stream.
        self.fake_emulator('[ "$1" = --version ] || exit 9\necho "QEMU emulator"\necho noise >&2')
        config = self.write_config(firmware_path=self.firmware_pair())
        before = sorted(os.listdir(self.vm))
        if os.path.exists("/dev/kvm"):
            self.assertEqual(self.validate(config), (0, "ok\n", ""))
        else:
            self.assertEqual(self.validate(config), (1, error_line(NO_KVM), ""))
        # Validation boots nothing and writes no file.
        self.assertEqual(sorted(os.listdir(self.vm)), before)

    def test_missing_config_file(self):
        self.fake_emulator("exit 0")
        path = os.path.join(self.vm, "absent.json")
        expected = error_line(f"read config {path}: No such file or directory (os error 2)")
        self.assertEqual(self.validate(path), (2, expected, ""))

    def test_empty_object_config(self):
        self.fake_emulator("exit 0")
        path = os.path.join(self.vm, "helper.json")
        with open(path, "w") as f:
            f.write("{}")
        expected = error_line("parse config: missing field `disk_path` at line 1 column 2")
        self.assertEqual(self.validate(path), (2, expected, ""))


if __name__ == "__main__":
    unittest.main()
