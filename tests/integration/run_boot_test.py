"""`run`: start-up, the readiness report of a cold boot, stopping by signal,
and QEMU's end."""

import os
import signal
import socket
import time
import unittest

import kelvo_testlib
from kelvo_testlib import wait_until

from run_support import (RunCase, error, log, pid_alive, running, state)


class ColdBootTest(RunCase):
    def test_unusable_settings_are_refused_before_anything_starts(self):
        stranger = socket.create_server(("127.0.0.1", 0))  # another program's sshd
        self.addCleanup(stranger.close)
        taken = stranger.getsockname()[1]
        for overrides, message in [
                ({"ssh_host_port": 0},
                 "ssh_host_port not set in helper.json (required for QEMU networking)"),
                ({"ssh_host_port": taken},
                 f"ssh_host_port {taken}: 127.0.0.1:{taken} is already in use by another program"),
                ({"save_path": os.path.join(self.sb.vm_dir("vm1"), "disk.qcow2")},
                 "save_path {0} is the same file as disk_path {0}")]:
            with self.subTest(overrides=overrides):
                self.write_config(**overrides)
                run = self.start_run()
                run.expect(state("starting"), error(message.format(self.cfg["disk_path"])))
                run.finish(1)
                self.assertFalse(os.path.exists(self.vm_file("fake-qemu.pid")))
                with open(self.cfg["disk_path"], "rb") as f:
                    self.assertEqual(f.read(), b"disk")

    def test_nothing_at_a_path_is_waited_on(self):
        # A named pipe blocks an open for writing until a reader comes.
        vm_dir = self.sb.vm_dir("vm1")
        for name, overrides, outcome in [
                ("qemu.log", {}, running(self.port)),  # replaced by a new log
                ("console.fifo", {"console_log_path": os.path.join(vm_dir, "console.fifo")},
                 error(f"console log {os.path.join(vm_dir, 'console.fifo')}: not a regular file")),
                (None, {"disk_path": os.path.join(vm_dir, "gone", "disk.qcow2")},
                 error("create qemu.log: No such file or directory (os error 2)"))]:
            with self.subTest(name=name, overrides=overrides):
                self.write_config(**overrides)
                if name:
                    os.mkfifo(os.path.join(vm_dir, name))
                run = self.start_run()
                run.expect(state("starting"), self.launching(), outcome)
                if outcome["event"] == "error":
                    run.finish(1)
                    self.assertFalse(os.path.exists(self.vm_file("fake-qemu.pid")))
                else:
                    self.assertTrue(os.path.isfile(self.vm_file("qemu.log")))
                    self.stop(run)
                    os.unlink(self.vm_file("fake-qemu.pid"))
                if name:
                    os.unlink(os.path.join(vm_dir, name))

    def test_second_run_of_a_vm_touches_nothing(self):
        run = self.start_run()
        run.expect(state("starting"), self.launching(), running(self.port))
        with open(self.vm_file("qemu.log"), "rb") as f:
            qemu_log = f.read()
        second = self.start_run()
        second.expect(error("vm is already running: another helper holds "
                            + self.vm_file("helper.lock")))
        second.finish(1)
        with open(self.vm_file("qemu.log"), "rb") as f:
            self.assertEqual(f.read(), qemu_log)
        self.assertTrue(pid_alive(self.qemu_pid()))
        self.stop(run)

    def test_cold_boot_then_sigterm(self):
        with open(self.vm_file("qemu.log"), "w") as f:
            f.write("old run's output\n" * 100)
        run = self.start_run()
        run.expect(state("starting"), self.launching())
        launched = time.monotonic()
        qemu = self.qemu_pid()
        # QEMU's user network accepts on the port at once; `running` waits for
        # the guest's sshd, which the fake starts after its boot delay.
        run.expect(running(self.port))
        self.assertGreaterEqual(time.monotonic() - launched, float(self.BOOT_DELAY))

        self.assertEqual(os.readlink(f"/proc/{qemu}/fd/0"), "/dev/null")
        log_file = os.readlink(f"/proc/{qemu}/fd/1")
        self.assertEqual(log_file, self.vm_file("qemu.log"))
        self.assertEqual(os.readlink(f"/proc/{qemu}/fd/2"), log_file)
        argv = self.qemu_argv()
        self.assertEqual(len(argv), 40)
        self.assertIn(f"user,id=net0,hostfwd=tcp:127.0.0.1:{self.port}-:22", argv)
        self.assertEqual(argv[33], f"unix:{self.vm_file('qmp.sock')},server,nowait")
        self.assertNotIn("-incoming", argv)

        self.stop(run)
        with open(self.vm_file("qemu.log")) as f:
            self.assertTrue(f.read().startswith("fake-qemu: started"))
        self.assertEqual(self.qmp_commands(),
                         ["qmp_capabilities", "query-status", "system_powerdown"])

    def test_sigint_is_a_graceful_stop(self):
        run = self.start_run()
        self.boot(run)
        self.stop(run, signal.SIGINT)

    def test_ctrl_c_on_a_terminal_reaches_only_the_helper(self):
        # A terminal sends Ctrl-C (and a hang-up) to its whole foreground group.
        run = self.start_run(process_group=0)
        self.boot(run)
        qemu = self.qemu_pid()
        os.killpg(run.proc.pid, signal.SIGINT)
        run.expect(log("graceful powerdown requested"), log("qemu exited cleanly"),
                   state("stopped"))
        run.finish(0)
        self.assert_gone(qemu)

    def test_no_banner_no_running(self):
        run = self.start_run({"FAKE_QEMU_BANNER": "never"})
        run.expect(state("starting"), self.launching())
        run.no_event_for(5)
        self.stop(run)

    def test_empty_snapshot_is_a_cold_boot_and_left_alone(self):
        open(self.cfg["save_path"], "wb").close()
        run = self.start_run()
        self.boot(run)
        self.assertNotIn("-incoming", self.qemu_argv())
        self.assertTrue(os.path.exists(self.cfg["save_path"]))
        self.stop(run)

    def test_stale_files_of_a_killed_helper_are_removed_before_launch(self):
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(self.vm_file("qmp.sock"))
        stale.close()  # a socket file nobody listens on, as a killed supervisor leaves it
        with open(self.cfg["save_path"] + ".part", "wb") as f:
            f.write(b"half of the guest's memory")  # a killed hibernation's
        run = self.start_run({"FAKE_QEMU_QMP_DELAY": "3"})
        run.expect(state("starting"), self.launching())
        self.assertFalse(os.path.exists(self.vm_file("qmp.sock")))
        self.assertFalse(os.path.exists(self.cfg["save_path"] + ".part"))
        run.expect(running(self.port))
        self.stop(run)  # QMP was reached: the powerdown went through it

    @unittest.skipIf(kelvo_testlib.SPAWN_ERRORS_HIDDEN, kelvo_testlib.SPAWN_ERRORS_HIDDEN_WHY)
    def test_missing_emulator(self):
        empty = self.sb.path("empty-bin")
        os.makedirs(empty)
        run = self.start_run({"PATH": empty})
        run.expect(state("starting"), self.launching(),
                   error(f"failed to spawn {kelvo_testlib.QEMU}: No such file or directory (os error 2)"))
        run.finish(1)

    def test_qemu_killed_from_outside(self):
        run = self.start_run()
        self.boot(run)
        qemu = self.qemu_pid()
        os.kill(qemu, signal.SIGKILL)
        run.expect(log("qemu exited with status signal: 9 (SIGKILL)"), state("stopped"))
        run.finish(0)
        self.assert_gone(qemu)

    def test_qemu_dying_by_itself_after_qmp(self):
        run = self.start_run({"FAKE_QEMU_DIE_AFTER": "3", "FAKE_QEMU_BANNER": "never"})
        run.expect(state("starting"), self.launching(),
                   log("qemu exited with status signal: 9 (SIGKILL)"), state("stopped"))
        run.finish(0)

    def test_sigterm_during_start_up_is_kept_until_supervision(self):
        # The monitor comes late, so the signal lands while `run` is still
        # starting; it must neither end the process (orphaning QEMU) nor be lost.
        run = self.start_run({"FAKE_QEMU_QMP_DELAY": "2", "FAKE_QEMU_BANNER": "never"})
        run.expect(state("starting"))
        run.signal(signal.SIGTERM)
        run.expect(self.launching(), log("graceful powerdown requested"),
                   log("qemu exited cleanly"), state("stopped"))
        run.finish(0)
        self.assert_gone(self.qemu_pid())

    def test_stdout_closed_run_still_obeys_sigterm(self):
        run = self.start_run()
        self.boot(run)
        qemu = self.qemu_pid()
        run.close_stdout()
        time.sleep(0.5)
        run.signal(signal.SIGTERM)
        self.assertEqual(run.wait(), 0)
        self.assert_gone(qemu)

    def test_guest_stopped_for_good_by_qemu_ends_run(self):
        # (run state, seconds after start, whether the guest ran first)
        cases = [("internal-error", 0, False), ("internal-error", 3, True),
                 ("guest-panicked", 3, True)]
        for stop_state, after, booted in cases:
            with self.subTest(stop_state=stop_state, after=after):
                if booted:
                    self.write_config()
                run = self.start_run({"FAKE_QEMU_GUEST_STOP": f"{stop_state}@{after}"})
                run.expect(state("starting"), self.launching())
                qemu = self.qemu_pid()
                if booted:
                    run.expect(running(self.port))
                first = ("KVM internal error. Suberror: 1" if stop_state == "internal-error"
                         else f"fake-qemu: started pid {qemu}")
                # Seconds, not the minutes of a boot or powerdown wait.
                run.expect(error(f"qemu stopped the guest ({stop_state}): {first} "
                                 f"(see {self.vm_file('qemu.log')})"), timeout=15)
                run.expect(log("qemu exited cleanly"), state("stopped"))
                run.finish(1)
                self.assert_gone(qemu)
                self.assertEqual(self.qmp_commands()[-2:], ["query-status", "quit"])
                os.unlink(self.vm_file("fake-qemu-calls.jsonl"))
                os.unlink(self.vm_file("fake-qemu.pid"))

    def test_guest_paused_on_a_full_disk_is_kept_and_goes_on(self):
        room = self.sb.path("room-freed")
        marker = self.vm_file("disk-error")
        run = self.start_run({"FAKE_QEMU_GUEST_STOP": "io-error@3", "FAKE_QEMU_DISK_ROOM": room})
        self.boot(run)
        qemu = self.qemu_pid()
        run.expect(log("qemu paused the guest on a disk error: virtio0 (write): No space left "
                       "on device — free space on the host; the guest continues by itself once "
                       "there is room"))
        self.assertTrue(os.path.exists(marker))
        # Tried again while the file system is still full: said once, kept.
        run.no_event_for(5)
        self.assertTrue(pid_alive(qemu))
        self.assertGreaterEqual(self.qmp_commands().count("cont"), 1)
        for args, shown in ((["list"], b"  paused  "), (["status", "vm1"], b"  state:     paused")):
            status, out, _ = self.sb.run(args)
            self.assertEqual(status, 0)
            self.assertIn(shown, out)
        open(room, "w").close()
        run.expect(log("disk error cleared; the guest runs again"))
        self.assertFalse(os.path.exists(marker))
        wait_until(lambda: b"  state:     running\n" in self.sb.run(["status", "vm1"])[1], 10,
                   what="status to say running")
        self.stop(run)

    def test_no_leaked_descriptors_or_children(self):
        run = self.start_run({"FAKE_QEMU_MIGRATE": "fail"})
        self.boot(run)
        qemu = self.qemu_pid()
        before = run.fd_count()
        for _ in range(3):
            run.signal(signal.SIGUSR1)
            run.expect(log("hibernate requested"), state("saving"),
                       error("hibernate: migration failed: Unable to write to command: "
                             "Broken pipe"))
        time.sleep(0.5)
        self.assertEqual(run.fd_count(), before)
        self.assertEqual(run.children(), [qemu])
        self.stop(run)
        self.assertFalse(pid_alive(qemu))


if __name__ == "__main__":
    unittest.main()
