"""`run`: resumes that need the long fallbacks (30 agent pings, link bounces)
or cannot succeed."""

import os
import socket
import unittest

from run_support import RESUME_FAILED, RunCase, error, log, running, state


class ResumeFallbackTest(RunCase):
    def resumed(self, env, corrupt=False):
        if corrupt:
            with open(self.cfg["save_path"], "wb") as f:
                f.write(b"not a snapshot")
        else:
            self.write_snapshot()
        run = self.start_run(env)
        run.expect(state("starting"), state("restoring"), self.launching(resuming=True))
        return run

    def test_guest_unreachable_after_every_fallback(self):
        run = self.resumed({"FAKE_QEMU_AGENT": "silent", "FAKE_QEMU_BANNER": "never"})
        qemu = self.qemu_pid()
        run.expect(log("resume: guest agent didn't respond (VM may lack qemu-guest-agent)"),
                   timeout=300)
        run.expect(log("resume: NIC bounce fallback 1"), log("resume: NIC bounce fallback 2"),
                   log("resume: NIC bounce fallback 3"), error(RESUME_FAILED), timeout=60)
        run.finish(1)  # no `stopped` after a failed resume
        self.assert_gone(qemu)
        self.assertFalse(os.path.exists(self.cfg["save_path"]))
        calls = self.calls()
        self.assertEqual(sum(1 for c in calls if c.get("execute") == "guest-ping"), 30)
        links = [c["arguments"]["up"] for c in calls if c.get("execute") == "set_link"]
        self.assertEqual(links, [False, True] * 3)

    def test_no_agent_then_a_link_bounce(self):
        run = self.resumed({"FAKE_QEMU_AGENT": "none", "FAKE_QEMU_BANNER": "after-bounce"})
        run.expect(log(f"resume: guest agent channel unavailable: QGA connect "
                       f"{self.vm_file('qga.sock')}: No such file or directory (os error 2)"),
                   log("resume: NIC bounce fallback 1"), running(self.port),
                   log("resume: networking restored, guest reachable"), timeout=60)
        self.assertFalse(os.path.exists(self.cfg["save_path"]))
        self.stop(run)

    def test_port_taken_before_the_resume_keeps_the_snapshot(self):
        # Another program holds the forwarded port for a moment: QEMU could
        # not set up its network, so it is not started at all.
        holder = socket.socket()
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("127.0.0.1", self.port))
        holder.listen()
        self.write_snapshot()
        run = self.start_run()
        run.expect(state("starting"), error(f"ssh_host_port {self.port}: 127.0.0.1:{self.port} "
                                            "is already in use by another program"))
        run.finish(1)
        self.assertFalse(os.path.exists(self.vm_file("fake-qemu.pid")))
        holder.close()
        # The next start resumes from it.
        run = self.start_run()
        run.expect(state("starting"), state("restoring"), self.launching(resuming=True),
                   running(self.port), log("resume: networking restored, guest reachable"))
        self.assertFalse(os.path.exists(self.cfg["save_path"]))
        self.stop(run)

    def test_snapshot_qemu_cannot_load(self):
        run = self.resumed({}, corrupt=True)
        rest = run.rest(timeout=120)
        self.assertEqual(rest[-2:], [log("qemu exited with status exit status: 1"),
                                     error(RESUME_FAILED)])
        self.assertEqual(run.wait(), 1)
        self.assertFalse(os.path.exists(self.cfg["save_path"]))


if __name__ == "__main__":
    unittest.main()
