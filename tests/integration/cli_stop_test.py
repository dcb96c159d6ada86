"""stop, stop --force and hibernate against fake helper processes that act on
their signals the way the run supervisor does."""

import os
import unittest

from cli_support import CliTestCase


class StopTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.dir, self.cfg_path, self.cfg = self.sb.write_vm("s1", vm_name="web")
        self.log = os.path.join(self.dir, "helper.out")
        with open(self.log, "w") as f:
            f.write('{"event":"state","state":"starting"}\nold text\n')

    def test_not_running(self):
        for command in (["stop", "web"], ["stop", "web", "--force"], ["hibernate", "web"]):
            self.check(command, 1, err=b"kelvo-vmhelper: 'web' is not running\n")

    def test_graceful_stop_echoes_the_new_events(self):
        helper = self.fake_helper(self.cfg_path)
        self.check(["stop", "web"], 0, out=(
            f"stopping 'web' (graceful powerdown, helper pid {helper.pid})…\n"
            "  graceful powerdown requested\n"
            "  qemu exited cleanly\n"
            "  state: stopped\n"
            "'web' stopped\n").encode())
        self.assertFalse(helper.alive())

    def test_graceful_stop_of_a_helper_that_spells_its_config_otherwise(self):
        # The app may run it from HOME with a relative path, or with a HOME
        # that ends in "/": its QEMU is supervised all the same.
        qemu = self.fake_process("qemu-system-x86_64", "-drive",
                                 f"if=virtio,format=qcow2,file={self.cfg['disk_path']}")
        relative = os.path.relpath(self.cfg_path, self.sb.home)
        for spelling in (relative, self.sb.home + "//" + relative):
            helper = self.fake_process("run", "--config", spelling, cwd=self.sb.home)
            self.check(["stop", "web"], 0, out=(
                f"stopping 'web' (graceful powerdown, helper pid {helper.pid})…\n"
                "  graceful powerdown requested\n  qemu exited cleanly\n  state: stopped\n"
                "'web' stopped\n").encode())
            self.assertTrue(qemu.alive())

    def test_stop_does_not_wait_for_an_exited_helper_nobody_reaps(self):
        # The exited helper stays a zombie; stop must not wait out its 75 s.
        helper = self.fake_helper(self.cfg_path, reap=False)
        self.check(["stop", "web"], 0, timeout=30, out=(
            f"stopping 'web' (graceful powerdown, helper pid {helper.pid})…\n"
            "  graceful powerdown requested\n"
            "  qemu exited cleanly\n"
            "  state: stopped\n"
            "'web' stopped\n").encode())

    def test_stop_without_event_log(self):
        os.remove(self.log)
        helper = self.fake_helper(self.cfg_path, log=self.sb.path("elsewhere.out"))
        self.check(["stop", "web"], 0, out=(
            f"stopping 'web' (graceful powerdown, helper pid {helper.pid})…\n"
            "'web' stopped\n").encode())

    def test_stop_with_a_named_pipe_as_event_log(self):
        os.remove(self.log)
        os.mkfifo(self.log)
        helper = self.fake_helper(self.cfg_path, log=self.sb.path("elsewhere.out"))
        self.check(["stop", "web"], 0, out=(
            f"stopping 'web' (graceful powerdown, helper pid {helper.pid})…\n"
            "'web' stopped\n").encode(), timeout=20)

    def test_force_kills_the_helper_and_this_vms_qemu_only(self):
        helper = self.fake_helper(self.cfg_path, on_term="ignore")
        disk = self.cfg["disk_path"]
        _, _, other = self.sb.write_vm("s2", vm_name="other")
        qemu = self.fake_process("qemu-system-x86_64", "-drive",
                                 f"if=virtio,format=qcow2,file={disk}")
        # Other VMs: another folder, and a disk path that begins with this one's.
        bystanders = [self.fake_process("qemu-system-x86_64", "-drive", f"if=virtio,file={path}")
                      for path in (other["disk_path"], disk + ".old")]
        not_qemu = self.fake_process("cat", disk)
        partial = self.cfg["save_path"] + ".part"  # a hibernation cut short
        with open(partial, "wb") as f:
            f.write(b"the guest's memory")
        self.check(["stop", "--force", "web"], 0, out=(
            f"force-killing 'web' (helper pid {helper.pid})…\n"
            "'web' stopped\n").encode())
        helper.wait_gone()
        qemu.wait_gone()
        self.assertFalse(os.path.exists(partial))
        for process in bystanders + [not_qemu]:
            self.assertTrue(process.alive())

    def test_force_with_empty_disk_path_sweeps_nothing(self):
        _, cfg_path, _ = self.sb.write_vm("e1", vm_name="nodisk", disk_path="")
        helper = self.fake_helper(cfg_path, on_term="ignore")
        bystander = self.fake_process("qemu-system-x86_64", "-m", "64")
        self.check(["stop", "nodisk", "--force"], 0, out=(
            f"force-killing 'nodisk' (helper pid {helper.pid})…\n"
            "'nodisk' stopped\n").encode())
        self.assertTrue(bystander.alive())


class HibernateTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.dir, self.cfg_path, self.cfg = self.sb.write_vm("h1", vm_name="sleepy")
        self.log = os.path.join(self.dir, "helper.out")
        with open(self.log, "w") as f:
            f.write('{"event":"state","port":2222,"state":"running"}\n')

    def test_snapshot_written(self):
        helper = self.fake_helper(self.cfg_path, on_usr1="snapshot:%d" % (1536 << 20),
                                  save=self.cfg["save_path"])
        self.check(["hibernate", "sleepy", "--ignored"], 0, out=(
            "hibernating 'sleepy' (saving RAM+device state)…\n"
            "  hibernate requested\n"
            "  state: saving\n"
            "  state: hibernated\n"
            "'sleepy' hibernated (1536 MiB snapshot) — 'start' resumes it\n").encode())
        self.assertFalse(helper.alive())
        status, out, _ = self.run_cli("status", "sleepy")
        self.assertIn(b"  state:     hibernated\n", out)

    def test_helper_exits_without_snapshot(self):
        self.fake_helper(self.cfg_path, on_usr1="nosnapshot")
        self.check(["hibernate", "sleepy"], 1, out=(
            "hibernating 'sleepy' (saving RAM+device state)…\n"
            "  hibernate requested\n"
            "  qemu: terminating on signal 15\n"
            "  state: stopped\n").encode(), err=(
            f"kelvo-vmhelper: helper exited but no snapshot was written — see {self.log}\n"
        ).encode())

    def test_refusals_end_at_once_and_leave_the_vm_running(self):
        # An error from the running helper is the answer (no 10-minute wait);
        # an empty save_path is refused before the helper is signalled.
        _, nosave_cfg, _ = self.sb.write_vm("h2", vm_name="nosave", save_path="")
        for name, cfg_path, out, err in [
                ("sleepy", self.cfg_path,
                 "hibernating 'sleepy' (saving RAM+device state)…\n  hibernate requested\n"
                 "  error: cannot hibernate: QMP unavailable\n",
                 "cannot hibernate: QMP unavailable"),
                ("nosave", nosave_cfg, "",
                 "cannot hibernate 'nosave': save_path not set in helper.json")]:
            helper = self.fake_helper(cfg_path)  # answers SIGUSR1 with an error
            self.check(["hibernate", name], 1, out=out.encode(), timeout=20,
                       err=f"kelvo-vmhelper: {err}\n".encode())
            self.assertTrue(helper.alive())

    def test_empty_snapshot_is_no_snapshot(self):
        self.fake_helper(self.cfg_path, on_usr1="snapshot:0", save=self.cfg["save_path"])
        status, out, err = self.run_cli("hibernate", "sleepy")
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(b"  state: hibernated\n"))
        self.assertEqual(err, (
            f"kelvo-vmhelper: helper exited but no snapshot was written — see {self.log}\n"
        ).encode())


if __name__ == "__main__":
    unittest.main()
