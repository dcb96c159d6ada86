"""`run`: a migration that does not finish within 300 s is cancelled and the
guest runs on."""

import os
import signal
import time
import unittest

from kelvo_testlib import wait_until
from run_support import RunCase, error, log, state


class HibernateLimitTest(RunCase):
    def test_migration_over_300_seconds(self):
        run = self.start_run({"FAKE_QEMU_MIGRATE": "stall"})
        self.boot(run)
        run.signal(signal.SIGUSR1)
        run.expect(log("hibernate requested"), state("saving"))
        asked = time.monotonic()
        run.expect(error("hibernate: timed out"), timeout=400)
        self.assertGreaterEqual(time.monotonic() - asked, 299)
        # The migration is cancelled before the guest is resumed.
        wait_until(lambda: self.qmp_actions()[-2:] == ["migrate_cancel", "cont"], 10,
                   what="migrate_cancel, then cont")
        self.assertFalse(os.path.exists(self.cfg["save_path"] + ".part"))
        self.assertFalse(os.path.exists(self.cfg["save_path"]))
        self.stop(run)


if __name__ == "__main__":
    unittest.main()
