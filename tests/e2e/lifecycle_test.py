"""The whole life of one VM through the management commands, against real
QEMU and the real test guest: provision, validate, start, an SSH login with
the seed's key that prints the seed's hostname, list/status/logs, hibernate,
resume, graceful stop, forced stop beside a decoy, a start over the sockets
the killed helper left, delete. KELVO_E2E_ARCH picks the architecture."""

import json
import os
import re
import subprocess
import sys
import time
import unittest
import uuid

import e2e_lib as e2e
from e2e_lib import LifecycleCase, step


class VmLifecycleTest(LifecycleCase):
    vm = None

    # ---------------------------------------------------------------- helpers

    def list_json(self):
        out, _ = self.ok(["list", "--json"])
        return json.loads(out)

    def entry(self):
        for e in self.list_json():
            if e["id"] == self.vm.id:
                return e
        self.fail(f"list --json does not show {self.vm.id}")

    def probed(self, read, answered, what, tries=10):
        """`list` and `status` give a running guest's sshd 400 ms to identify
        itself, else they say "booting" (`status` probes once more for its
        ssh line, "(closed)" when missed). A guest under software emulation on
        a busy host can miss that window (the ARM64 guest's banner took 0.23 to
        0.32 s on a busy 2-core host); such a reading is taken again, at most
        `tries` times, and every miss is logged."""
        for attempt in range(1, tries + 1):
            value = read()
            if answered(value) or attempt == tries:
                return value
            e2e.log(f"{what}: the port probe missed the guest's banner (reading {attempt}); reading again")
            time.sleep(1)

    def running_entry(self):
        return self.probed(self.entry, lambda e: e["state"] != "booting", "list --json")

    def wait_helper_event(self, predicate, timeout, what):
        return e2e.wait_until(lambda: any(predicate(e) for e in self.vm.events()), timeout,
                              f"{what} in helper.out (events: {e2e.event_words(self.vm.events())})")

    def running_vm_pids(self):
        helpers = self.vm.helper_pids()
        qemus = self.vm.qemu_pids()
        self.assertEqual(len(helpers), 1, f"one helper process expected, found {helpers}")
        self.assertEqual(len(qemus), 1, f"one QEMU process expected, found {qemus}")
        return helpers[0], qemus[0]

    def start_cold_and_check(self, label):
        """`start` of a stopped VM: returns when the guest's sshd answers."""
        vm = self.vm
        t0 = time.monotonic()
        out, took = self.ok(["start", vm.name], timeout=e2e.START_LIMIT)
        banner_at_report = e2e.ssh_banner(vm.port)
        self.assertRegex(out, rf"(?m)^started '{re.escape(vm.name)}' \(helper pid \d+\) — booting…$")
        self.assertIn(f"'{vm.name}' is running — guest sshd on 127.0.0.1:{vm.port}\n", out)
        with self.subTest(f"{label}: `start` says running only once the guest's sshd answers"):
            self.assertTrue(banner_at_report.startswith(b"SSH-"),
                            f"`start` returned after {took:.1f}s saying the VM is running, but the guest's "
                            f"sshd sent no SSH- banner then (got {banner_at_report!r}); QEMU's user network "
                            f"accepts TCP connections on the forwarded port before the guest is up")
        e2e.wait_for_banner(vm.port, e2e.BOOT_LIMIT)
        self.timed(f"{label} (until the SSH- banner)", time.monotonic() - t0)
        self.timed(f"{label}: `start` returned after", took)
        return out

    # ---------------------------------------------------------------- steps

    @step
    def test_01_provision(self):
        sb = self.sandbox
        type(self).key, public_key = sb.login_key()
        type(self).hostname = f"e2e-life-{e2e.ARCH}-{uuid.uuid4().hex[:6]}"
        type(self).vm = vm = sb.write_vm("e2e-life", e2e.free_port(), disk_gib=1, hostname=self.hostname,
                                         authorized_keys=[public_key])
        config = vm.file("helper.json")
        t0 = time.monotonic()
        status, out, err, _ = sb.kelvo(["provision", "--config", config], timeout=300)
        self.timed("provision (first, with download)", time.monotonic() - t0)
        self.assertEqual(status, 0, f"provision failed\nstdout:\n{out}\nstderr:\n{err}")
        self.assertEqual(err, "")
        self.assertEqual(e2e.event_words(e2e.parse_events(out)), [
            "log:provisioning: ensuring base cloud image",
            f"log:downloading {e2e.IMAGE_NAME}",
            "log:provisioning: creating disk",
            "log:provisioning: building cloud-init seed",
            "log:provisioning: complete",
        ])
        # Every stdout line is an event.
        for line in out.splitlines():
            json.loads(line)

        with open(sb.curl_log) as f:
            calls = [json.loads(line) for line in f]
        self.assertEqual(len(calls), 2, calls)
        self.assertEqual(calls[0][:1], ["-fsSL"])
        self.assertTrue(calls[0][-1].endswith(e2e.RELEASE_PATH + "/SHA256SUMS"), calls[0])
        self.assertEqual(calls[1][:4], ["-fL", "--retry", "3", "-o"])
        self.assertTrue(calls[1][-1].endswith(e2e.RELEASE_PATH + "/" + e2e.IMAGE_NAME), calls[1])

        cached = os.path.join(sb.home, ".kelvo", "images", e2e.IMAGE_NAME)
        self.assertTrue(os.path.isfile(cached), "the image is not in the cache")
        self.assertFalse(os.path.exists(cached + ".tmp"))
        info = json.loads(subprocess.run(["qemu-img", "info", "--output=json", vm.disk], capture_output=True,
                                         timeout=60, check=True).stdout)
        self.assertEqual(info["format"], "qcow2")
        self.assertEqual(info["virtual-size"], 1 << 30, "disk_gib 1 grows the disk to 1 GiB")
        with open(vm.config["seed_path"], "rb") as f:
            iso = f.read(64 * 1024)
        self.assertEqual(iso[0x8001:0x8006], b"CD001", "the seed is not an ISO 9660 image")
        self.assertEqual(iso[0x8028:0x8028 + 6], b"cidata", "the seed's volume label is not cidata")
        fw = e2e.host_firmware()
        self.assertTrue(os.path.isfile(vm.config["efi_store_path"]), "provision prepared no variable store")
        self.assertEqual(os.path.getsize(vm.config["efi_store_path"]), os.path.getsize(fw[1]))

        # Again: the cached image is reused (checksums fetched, no download).
        status, out, err, _ = sb.kelvo(["provision", "--config", config], timeout=300)
        self.assertEqual(status, 0, err)
        self.assertNotIn("downloading", out)
        with open(sb.curl_log) as f:
            self.assertEqual(len(f.readlines()), 3, "the second provision downloads nothing")

    @step
    def test_02_validate(self):
        status, out, err, _ = self.sandbox.kelvo(["validate", "--config", self.vm.file("helper.json")])
        if os.path.exists("/dev/kvm"):
            self.assertEqual((status, out), (0, "ok\n"), err)
        else:
            self.assertEqual(status, 1, out)
            self.assertEqual(out, '{"event":"error","message":"/dev/kvm missing — KVM not available on this host"}\n')

    @step
    def test_03_start_cold(self):
        vm = self.vm
        self.start_cold_and_check("cold start")
        helper, qemu = self.running_vm_pids()
        with open(f"/proc/{qemu}/cmdline", "rb") as f:
            argv = [a.decode(errors="replace") for a in f.read().split(b"\0")]
        self.assertIn(f"if=virtio,format=qcow2,file={vm.disk}", argv)
        # The architecture's emulator, machine and firmware (the shim turns
        # KVM into software emulation and keeps the rest).
        self.assertEqual(os.path.basename(argv[0]), e2e.QEMU, argv)
        machine = e2e.MACHINE if self.sandbox.kvm else e2e.MACHINE.replace("accel=kvm", "accel=tcg")
        self.assertEqual(argv[argv.index("-machine") + 1], machine, argv)
        code, _ = e2e.host_firmware()
        self.assertIn(f"if=pflash,format=raw,unit=0,readonly=on,file={code}", argv)
        self.wait_helper_event(lambda e: e.get("state") == "running" and e.get("port") == vm.port, 30,
                               "the running event")
        words = e2e.event_words(vm.events())
        self.assertEqual(words[0], "state:starting")
        self.assertEqual(words[1], f"log:launching {e2e.QEMU} (cpu=1, mem=512MiB, sshd→127.0.0.1:{vm.port})")
        self.assertNotIn("state:restoring", words)
        self.assertFalse(any(w.startswith("error:") or "QMP unavailable" in w for w in words), words)

    @step
    def test_04_ssh_login_with_seed_key(self):
        """The seed reached the guest: its user-data key logs in as root and
        the guest is named as its meta-data says."""
        t0 = time.monotonic()
        status, out, err = e2e.ssh_run(self.vm.port, self.key, "hostname")
        self.timed("ssh login and `hostname`", time.monotonic() - t0)
        self.assertEqual(status, 0, f"ssh with the seed's key failed: {err}")
        self.assertEqual(out.strip(), self.hostname, "the guest's hostname is not the meta-data's local-hostname")

    @step
    def test_05_list_status_logs(self):
        vm = self.vm
        helper, _ = self.running_vm_pids()
        out = self.probed(lambda: self.ok(["list"])[0],
                          lambda o: not re.search(rf"(?m)^{re.escape(vm.name)}\s+booting\s", o), "list")
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["NAME", "STATE", "SSH", "CPUS", "MEMORY", "ID"])
        row = [line for line in lines[1:] if line.split()[0] == vm.name]
        self.assertEqual(len(row), 1, out)
        self.assertEqual(row[0].split(), [vm.name, "running", str(vm.port), "1", "512", "MiB", vm.id[:12]])

        e = self.running_entry()
        self.assertEqual(e, {"cpus": 1, "dir": vm.dir, "disk_gib": 1, "id": vm.id, "memory_mib": 512,
                             "name": vm.name, "pid": helper, "ssh_port": vm.port, "state": "running"})

        out = self.probed(lambda: self.ok(["status", vm.name])[0],
                          lambda o: "  state:     booting\n" not in o and f":{vm.port} (closed)\n" not in o, "status")
        self.assertEqual(out.splitlines()[:5], [
            vm.name,
            f"  id:        {vm.id}",
            "  state:     running",
            f"  helper:    pid {helper}",
            f"  ssh:       127.0.0.1:{vm.port} (open)",
        ])
        self.assertIn(f"  dir:       {vm.dir}\n", out)
        self.assertNotIn("  snapshot:", out)

        out, _ = self.ok(["logs", vm.name])
        self.assertEqual(out.splitlines(), vm.helper_out().splitlines()[-50:])
        self.assertIn('{"event":"state","state":"starting"}', out)
        e2e.wait_until(lambda: "e2e-guest: ready" in vm.console(),
                       30, "the guest's ready line on the serial console")
        out, _ = self.ok(["logs", vm.name, "--console", "-n", "500"])
        self.assertIn("e2e-guest: init started", out)
        self.assertIn("e2e-guest: ready", out)

        status, out, err, _ = self.sandbox.kelvo(["delete", vm.name, "--yes"])
        self.assertEqual(status, 1)
        self.assertEqual(err, f"kelvo-vmhelper: '{vm.name}' is running (helper pid {helper}) — stop it first\n")
        self.assertTrue(os.path.isdir(vm.dir))

    @step
    def test_06_hibernate(self):
        vm = self.vm
        helper, qemu = self.running_vm_pids()
        qga = vm.file("qga.sock")
        type(self).uptime_before = e2e.guest_uptime(qga)
        agent = e2e.GuestAgent(qga)
        try:
            agent.sync()
            agent.run("/bin/sh", ["-c", "echo kept-across-hibernation > /run/e2e-marker"])
        finally:
            agent.close()

        # `logs -f` prints the last line at once, then follows the log.
        follower = self.sandbox.spawn(["logs", vm.name, "-f", "-n", "1"], stdin=subprocess.DEVNULL)
        followed = e2e.EventReader(follower.stdout)
        self.assertEqual(followed.next_event(10), vm.events()[-1])
        out, took = self.ok(["hibernate", vm.name], timeout=e2e.HIBERNATE_LIMIT + 60)
        self.timed("hibernate (command)", took)
        try:
            followed.wait_for(lambda e: e.get("state") == "hibernated", 10, "`logs -f` showing the hibernation")
            self.assertEqual(e2e.event_words(followed.seen)[1:4],
                             ["log:hibernate requested", "state:saving", "state:hibernated"])
        finally:
            e2e.kill_pid(follower.pid)
            follower.wait(timeout=e2e.PROCESS_END_LIMIT)
        self.assertTrue(out.startswith(f"hibernating '{vm.name}' (saving RAM+device state)…\n"), out)
        for line in ("  hibernate requested\n", "  state: saving\n", "  state: hibernated\n"):
            self.assertIn(line, out)
        self.assertNotIn("  error:", out)
        size = os.path.getsize(vm.snapshot)
        self.assertGreater(size, 1 << 20)
        mib = round(size / (1 << 20))
        self.assertTrue(out.endswith(f"'{vm.name}' hibernated ({mib} MiB snapshot) — 'start' resumes it\n"), out)
        self.assertFalse(os.path.exists(vm.snapshot + ".part"))
        type(self).hibernated_at = time.monotonic()
        self.assertTrue(e2e.wait_gone([helper, qemu], 10), "helper or QEMU still there after hibernation")
        self.assertTrue(os.path.exists(vm.snapshot + ".fingerprint"), "no fingerprint next to the snapshot")
        words = e2e.event_words(vm.events())
        self.assertNotIn("state:stopped", words)
        self.assertLess(words.index("state:saving"), words.index("state:hibernated"))
        self.assertTrue(words[-1].startswith("log:qemu exited"), words)
        self.assertEqual(self.entry()["state"], "hibernated")
        out, _ = self.ok(["status", vm.name])
        self.assertIn(f"  snapshot:  {vm.snapshot} ({mib} MiB)\n", out)

    @step
    def test_07_resume(self):
        vm = self.vm
        # Hibernated for 20 s at least: the guest's clock would be that far behind.
        time.sleep(max(0.0, 20 - (time.monotonic() - self.hibernated_at)))
        t0 = time.monotonic()
        out, took = self.ok(["start", vm.name], timeout=e2e.START_LIMIT)
        self.assertIn("  state: restoring\n", out)
        self.assertIn(f"'{vm.name}' is running — guest sshd on 127.0.0.1:{vm.port}\n", out)
        self.wait_helper_event(lambda e: e.get("line") == "resume: networking restored, guest reachable", 150,
                               "the end of the resume")
        self.timed("resume (start until networking restored)", time.monotonic() - t0)
        self.timed("resume: `start` returned after", took)
        words = e2e.event_words(vm.events())
        self.assertEqual(words[:3], [
            "state:starting", "state:restoring",
            f"log:launching {e2e.QEMU} (cpu=1, mem=512MiB, sshd→127.0.0.1:{vm.port}, resuming from snapshot)"])
        self.assertIn("state:running", words)
        self.assertLess(words.index("state:running"), words.index("log:resume: networking restored, guest reachable"))
        self.assertFalse(any(w.startswith("error:") for w in words), words)
        self.assertTrue(e2e.ssh_banner(vm.port).startswith(b"SSH-"))
        self.assertFalse(os.path.exists(vm.snapshot), "the snapshot is still there after the resume")
        self.assertFalse(os.path.exists(vm.snapshot + ".fingerprint"))
        self.assertLess(e2e.guest_clock_lag(vm.file("qga.sock"), within=1.0), 1.0,
                        "the resumed guest's clock was not set from the host's")

        # No cold boot: the guest's tmpfs kept the marker and its clock went on.
        agent = e2e.GuestAgent(vm.file("qga.sock"))
        try:
            agent.sync()
            marker = agent.run("/bin/cat", ["/run/e2e-marker"])
        finally:
            agent.close()
        self.assertEqual(marker.strip(), "kept-across-hibernation", "the guest was booted afresh")
        after = e2e.guest_uptime(vm.file("qga.sock"))
        self.assertGreaterEqual(after, self.uptime_before, "the guest's uptime went back")
        self.assertEqual(self.running_entry()["state"], "running")

    @step
    def test_08_stop(self):
        vm = self.vm
        helper, qemu = self.running_vm_pids()
        out, took = self.ok(["stop", vm.name], timeout=e2e.STOP_LIMIT)
        self.timed("graceful stop", took)
        self.assertTrue(out.startswith(f"stopping '{vm.name}' (graceful powerdown, helper pid {helper})…\n"), out)
        self.assertIn("  graceful powerdown requested\n", out)
        self.assertIn("  qemu exited cleanly\n", out)
        self.assertIn("  state: stopped\n", out)
        self.assertNotIn("powerdown timed out", out)
        self.assertTrue(out.endswith(f"'{vm.name}' stopped\n"), out)
        self.assertTrue(e2e.wait_gone([helper, qemu], 10))
        self.assertIn("power button pressed", vm.console())
        e = self.entry()
        self.assertEqual((e["state"], e["pid"]), ("stopped", None))

    @step
    def test_09_force_stop_spares_other_qemu(self):
        vm = self.vm
        sb = self.sandbox
        self.start_cold_and_check("second cold start")
        helper, qemu = self.running_vm_pids()
        other_disk = os.path.join(sb.root, "other-vm", "disk.qcow2")
        decoy = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)", e2e.QEMU,
                                  "-drive", f"if=virtio,format=qcow2,file={other_disk}"],
                                 stdin=subprocess.DEVNULL)
        sb.track(decoy)
        e2e.wait_until(lambda: b"qemu-system" in (e2e.read_cmdline(decoy.pid) or b""), 10, "the decoy")

        out, took = self.ok(["stop", vm.name, "--force"], timeout=e2e.STOP_LIMIT)
        self.timed("forced stop", took)
        self.assertTrue(out.startswith(f"force-killing '{vm.name}' (helper pid {helper})…\n"), out)
        self.assertTrue(out.endswith(f"'{vm.name}' stopped\n"), out)
        self.assertTrue(e2e.wait_gone([helper, qemu], 10), "the VM's helper or QEMU survived stop --force")
        self.assertIsNone(decoy.poll(), "stop --force killed a process of another VM")
        self.assertFalse(e2e.is_gone(decoy.pid))
        decoy.kill()
        decoy.wait(timeout=10)
        self.assertEqual(self.entry()["state"], "stopped")

    @step
    def test_10_start_after_forced_stop(self):
        """The killed helper left its sockets behind; the next run starts
        over them with a working monitor."""
        vm = self.vm
        self.assertTrue(os.path.exists(vm.file("qmp.sock")))
        self.start_cold_and_check("start after the forced stop")
        words = e2e.event_words(vm.events())
        self.assertFalse(any("QMP unavailable" in w or w.startswith("error:") for w in words), words)
        # Stopped as soon as `start` says running: the guest already watches
        # its power button then.
        out, _ = self.ok(["stop", vm.name], timeout=e2e.STOP_LIMIT)
        self.assertIn("  graceful powerdown requested\n", out)
        self.assertNotIn("powerdown timed out", out)
        self.assertIn("  qemu exited cleanly\n", out)
        # The event log holds nothing but events: no stray text from the helper.
        for line in vm.helper_out().splitlines():
            self.assertIsInstance(json.loads(line), dict, line)

    @step
    def test_11_delete(self):
        vm = self.vm
        status, out, err, _ = self.sandbox.kelvo(["delete", vm.name])  # standard input at its end
        self.assertEqual(status, 1)
        self.assertTrue(err.endswith("kelvo-vmhelper: aborted\n"), err)
        self.assertTrue(os.path.isdir(vm.dir))
        out, _ = self.ok(["delete", vm.name, "--yes"])
        self.assertEqual(out, f"deleted '{vm.name}' from this host (an Kelvo-side record, if any, remains in the app)\n")
        self.assertFalse(os.path.exists(vm.dir))
        self.assertEqual(self.list_json(), [])


if __name__ == "__main__":
    unittest.main()
