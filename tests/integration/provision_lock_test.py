"""Two provisions at once share the image cache: the second waits for the
first's download and reuses the verified image."""

import os
import unittest

from kelvo_testlib import DEFAULT_TIMEOUT, wait_until
from provision_support import (COMPLETE, DOWNLOADING, IMAGE_BODY, SUMS_URL, ProvisionBed,
                               read_bytes)


class ConcurrentProvisionTest(unittest.TestCase):

    def test_second_provision_waits_and_reuses_the_download(self):
        bed = ProvisionBed(self)
        _, first_config, _ = bed.write_vm("vm1")
        _, second_config, _ = bed.write_vm("vm2")
        env = bed.env(FAKE_CURL_SLOW="3")
        first = bed.start_provision(first_config, env=env)
        # The first is inside its (slow) download before the second starts.
        wait_until(lambda: any("-o" in c["argv"] for c in bed.curl_calls()),
                   timeout=DEFAULT_TIMEOUT, what="the first download to start")
        second = bed.start_provision(second_config, env=env)
        first_out, _ = first.communicate(timeout=DEFAULT_TIMEOUT)
        second_out, _ = second.communicate(timeout=DEFAULT_TIMEOUT)
        self.assertEqual((first.returncode, second.returncode), (0, 0))

        first_events = first_out.decode().splitlines()
        second_events = second_out.decode().splitlines()
        self.assertIn(DOWNLOADING, first_events)
        self.assertNotIn(DOWNLOADING, second_events)
        self.assertEqual(second_events[-1], COMPLETE)
        second_calls = [c["argv"] for c in bed.curl_calls() if c["ppid"] == second.pid]
        self.assertEqual(second_calls, [["-fsSL", SUMS_URL]])
        self.assertEqual(read_bytes(bed.cached), IMAGE_BODY)
        self.assertFalse(os.path.exists(bed.tmp))


if __name__ == "__main__":
    unittest.main()
