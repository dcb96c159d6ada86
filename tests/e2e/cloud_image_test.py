"""One VM of the real Debian cloud image (systemd, cloud-init, OpenSSH,
netplan, qemu-guest-agent) through the program's own commands: provision
with its checksum, validate, a cold start that real cloud-init configures
from the seed (hostname, a user with the seed's key and sudo, the root file
system grown to disk_gib), hibernate, a resume that keeps a written file and
sets the clock, a graceful stop within the deadline, a second cold start
that keeps the file, stop --force and delete. Every step prints its seconds.
x86-64 only; the image comes from tests/e2e/cloud-image/build-cloud-image.sh."""

import os
import re
import time
import unittest
import uuid

import e2e_lib as e2e
from e2e_lib import LifecycleCase, step

USER = "kelvo"
DISK_GIB = 4


class CloudImageTest(LifecycleCase):
    prepare = staticmethod(e2e.ensure_cloud_image)
    vm = None

    def ssh(self, command, timeout=e2e.SSH_LIMIT):
        status, out, err = e2e.ssh_run(self.vm.port, self.key, command, timeout=timeout, user=USER)
        self.assertEqual(status, 0, f"ssh {USER}@ `{command}` failed ({status}): {err}{out}")
        return out.strip()

    def login(self, label):
        """Logs in as the seed's user once the guest lets it (sshd may answer
        before cloud-init has made the user); returns the hostname."""
        t0 = time.monotonic()
        last = ""
        while time.monotonic() - t0 < e2e.BOOT_LIMIT:
            status, out, err = e2e.ssh_run(self.vm.port, self.key, "hostname", user=USER)
            if status == 0:
                self.timed(f"{label}: key login", time.monotonic() - t0)
                return out.strip()
            last = err
            time.sleep(2)
        self.fail(f"{label}: no login as {USER} with the seed's key within {e2e.BOOT_LIMIT}s: {last}")

    def start(self, label):
        t0 = time.monotonic()
        out, took = self.ok(["start", self.vm.name], timeout=e2e.START_LIMIT)
        self.assertIn(f"'{self.vm.name}' is running — guest sshd on 127.0.0.1:{self.vm.port}\n", out)
        self.timed(f"{label}: `start` until running", took)
        e2e.wait_for_banner(self.vm.port, e2e.BOOT_LIMIT)
        self.timed(f"{label}: until the SSH- banner", time.monotonic() - t0)
        return out

    @step
    def test_01_provision(self):
        sb = self.sandbox
        type(self).key, public_key = sb.login_key()
        type(self).hostname = f"e2e-cloud-{uuid.uuid4().hex[:6]}"
        user_data = ("#cloud-config\n"
                     f"hostname: {self.hostname}\n"
                     "users:\n"
                     f"  - name: {USER}\n"
                     "    shell: /bin/bash\n"
                     "    sudo: \"ALL=(ALL) NOPASSWD:ALL\"\n"
                     "    ssh_authorized_keys:\n"
                     f"      - {public_key}\n")
        type(self).vm = sb.write_vm("e2e-cloud", e2e.free_port(), disk_gib=DISK_GIB, memory_mib=1024,
                                    cpu_count=2, hostname=self.hostname, user_data=user_data)
        out, took = self.ok(["provision", "--config", self.vm.file("helper.json")], timeout=300)
        self.timed("provision (download, checksum, disk, seed)", took)
        words = e2e.event_words(e2e.parse_events(out))
        self.assertEqual(words[-1], "log:provisioning: complete", words)
        self.assertIn(f"log:downloading {e2e.IMAGE_NAME}", words)

    @step
    def test_02_validate(self):
        status, out, err, _ = self.sandbox.kelvo(["validate", "--config", self.vm.file("helper.json")])
        if os.path.exists("/dev/kvm"):
            self.assertEqual((status, out), (0, "ok\n"), err)
        else:
            self.assertEqual(status, 1, out)
            self.assertIn("/dev/kvm missing", out)

    @step
    def test_03_cold_start_applies_the_seed(self):
        self.start("cold boot")
        self.assertEqual(self.login("cold boot"), self.hostname, "the hostname is not the seed's")
        t0 = time.monotonic()
        status = self.ssh("cloud-init status --wait", timeout=300)
        self.timed("cloud-init done (after the login)", time.monotonic() - t0)
        self.assertIn("status: done", status)
        self.assertEqual(self.ssh("sudo -n id -u"), "0", "the seed's user has no passwordless sudo")
        root_bytes = int(self.ssh("df -B1 --output=size / | tail -n 1"))
        self.assertGreater(root_bytes, (DISK_GIB - 0.5) * (1 << 30), "the root file system was not grown")
        self.ssh("echo kept-on-disk > ~/marker && sync")

    @step
    def test_04_hibernate(self):
        out, took = self.ok(["hibernate", self.vm.name], timeout=e2e.HIBERNATE_LIMIT + 60)
        mib = round(os.path.getsize(self.vm.snapshot) / (1 << 20))
        self.timed(f"hibernate ({mib} MiB snapshot)", took)
        self.assertIn("  state: hibernated\n", out)
        self.assertTrue(out.endswith(f"'{self.vm.name}' hibernated ({mib} MiB snapshot) — 'start' resumes it\n"),
                        out)
        type(self).hibernated_at = time.monotonic()

    @step
    def test_05_resume_keeps_the_guest(self):
        # Hibernated for 20 s at least: the guest's clock would be that far behind.
        time.sleep(max(0.0, 20 - (time.monotonic() - self.hibernated_at)))
        out = self.start("resume")
        self.assertIn("  state: restoring\n", out)
        t0 = time.monotonic()
        e2e.wait_until(lambda: any(e.get("line") == "resume: networking restored, guest reachable"
                                   for e in self.vm.events()), 150, "the end of the resume")
        self.timed("resume: until networking restored (after `start`)", time.monotonic() - t0)
        words = e2e.event_words(self.vm.events())
        self.assertFalse(any(w.startswith("error:") for w in words), words)
        self.assertEqual(self.login("resume"), self.hostname)
        self.assertEqual(self.ssh("cat ~/marker"), "kept-on-disk")
        self.assertLess(e2e.guest_clock_lag(self.vm.file("qga.sock"), within=1.0), 1.0,
                        "the resumed guest's clock is not the host's")
        self.assertFalse(os.path.exists(self.vm.snapshot))

    @step
    def test_06_graceful_stop(self):
        out, took = self.ok(["stop", self.vm.name], timeout=e2e.STOP_LIMIT)
        self.timed("graceful stop (ACPI powerdown)", took)
        self.assertIn("  graceful powerdown requested\n", out)
        self.assertNotIn("powerdown timed out", out)
        self.assertTrue(out.endswith(f"'{self.vm.name}' stopped\n"), out)

    @step
    def test_07_second_cold_start_keeps_the_file(self):
        self.start("second cold boot")
        self.login("second cold boot")
        self.assertEqual(self.ssh("cat ~/marker"), "kept-on-disk")
        helpers, qemus = self.vm.helper_pids(), self.vm.qemu_pids()
        out, took = self.ok(["stop", self.vm.name, "--force"], timeout=e2e.STOP_LIMIT)
        self.timed("stop --force", took)
        self.assertTrue(re.search(rf"'{re.escape(self.vm.name)}' stopped\n$", out), out)
        self.assertTrue(e2e.wait_gone(helpers + qemus, 10), "helper or QEMU survived stop --force")

    @step
    def test_08_delete(self):
        out, _ = self.ok(["delete", self.vm.name, "--yes"])
        self.assertTrue(out.startswith(f"deleted '{self.vm.name}'"), out)
        self.assertFalse(os.path.exists(self.vm.dir))


if __name__ == "__main__":
    unittest.main()
