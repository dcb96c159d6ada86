"""provision, first stage: the checksum list, the image cache and the
download, through a fake curl and the real sha256sum."""

import os
import signal
import unittest

import kelvo_testlib
from kelvo_testlib import DEFAULT_TIMEOUT, end_process, wait_until

from provision_support import (COMPLETE, BUILDING_SEED, CREATING_DISK, DOWNLOADING, ENSURING,
                               IMAGE_BODY, IMAGE_NAME, IMAGE_URL, SUMS_URL, ProvisionBed,
                               default_sums, error_line, read_bytes, sha256)

FETCH_404 = ("fetch SHA256SUMS: curl exited with exit status: 22: "
             "curl: (22) The requested URL returned error: 404")


class ImageCacheTest(unittest.TestCase):
    def cached_vm(self, image):
        """A bed whose cache already holds `image`, and a VM written in it:
        the bed, the VM's helper.json path and its config."""
        bed = ProvisionBed(self)
        bed.cache_image(image)
        _, config_path, config = bed.write_vm()
        return bed, config_path, config

    def test_cold_cache_downloads_verifies_and_completes(self):
        bed = ProvisionBed(self)
        directory, config_path, config = bed.write_vm()
        status, events, err = bed.provision(config_path)
        self.assertEqual(events, [ENSURING, DOWNLOADING, CREATING_DISK, BUILDING_SEED, COMPLETE])
        self.assertEqual((status, err), (0, ""))
        self.assertEqual([c["argv"] for c in bed.curl_calls()], [
            ["-fsSL", SUMS_URL],
            ["-fL", "--retry", "3", "-o", bed.tmp, IMAGE_URL],
        ])
        self.assertEqual(read_bytes(bed.cached), IMAGE_BODY)
        self.assertFalse(os.path.exists(bed.tmp))
        self.assertEqual(bed.tool_calls("qemu-img"), [
            ["convert", "-f", "qcow2", "-O", "qcow2", bed.cached, config["disk_path"]],
        ])
        self.assertEqual(read_bytes(config["disk_path"]), b"qcow2 copy\n" + IMAGE_BODY)

    def test_matching_cached_image_is_reused_with_one_curl_call(self):
        bed, config_path, _ = self.cached_vm(IMAGE_BODY)
        for _ in range(2):  # a second provision also reuses it
            status, events, _ = bed.provision(config_path)
            self.assertEqual(status, 0)
            self.assertEqual(events, [ENSURING, CREATING_DISK, BUILDING_SEED, COMPLETE])
        self.assertEqual([c["argv"] for c in bed.curl_calls()], [["-fsSL", SUMS_URL]] * 2)
        self.assertEqual(len(bed.tool_calls("qemu-img")), 2)

    def test_corrupt_cached_image_is_replaced_by_a_verified_download(self):
        bed, config_path, _ = self.cached_vm(b"truncated")
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 0)
        self.assertEqual(events[:2], [ENSURING, DOWNLOADING])
        self.assertEqual(read_bytes(bed.cached), IMAGE_BODY)

    def test_bad_download_never_replaces_the_cached_image(self):
        bed, config_path, config = self.cached_vm(b"old and corrupt")
        status, events, _ = bed.provision(config_path, env=bed.env(FAKE_CURL_CORRUPT="1"))
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, DOWNLOADING,
                                  error_line("downloaded image failed SHA256 verification")])
        self.assertEqual(read_bytes(bed.cached), b"old and corrupt")
        self.assertFalse(os.path.exists(bed.tmp))
        self.assertFalse(os.path.exists(config["disk_path"]))
        self.assertEqual(bed.tool_calls(), [])

    def test_upper_case_published_digest_fails_verification(self):
        bed = ProvisionBed(self, sums=default_sums(sha256(IMAGE_BODY).upper()))
        _, config_path, _ = bed.write_vm()
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, DOWNLOADING,
                                  error_line("downloaded image failed SHA256 verification")])
        self.assertFalse(os.path.exists(bed.cached))
        self.assertFalse(os.path.exists(bed.tmp))

    def test_first_line_naming_the_image_wins_even_for_another_file(self):
        sums = (f"{sha256(IMAGE_BODY)} *{IMAGE_NAME}.manifest\n"
                f"{'0' * 64} *{IMAGE_NAME}\n")
        bed = ProvisionBed(self, sums=sums)
        _, config_path, _ = bed.write_vm()
        status, events, _ = bed.provision(config_path)
        self.assertEqual((status, events[-1]), (0, COMPLETE))
        self.assertEqual(read_bytes(bed.cached), IMAGE_BODY)

    def test_fifo_in_place_of_a_file_never_holds_provision(self):
        # At the cached image the download replaces it; a disk or a seed input
        # is refused, naming it.
        for where in ("cached", "disk", "user-data"):
            with self.subTest(where=where):
                bed = ProvisionBed(self)
                directory, config_path, config = bed.write_vm()
                fifo = {"cached": bed.cached, "disk": config["disk_path"],
                        "user-data": os.path.join(directory, "user-data")}[where]
                os.makedirs(bed.images, exist_ok=True)
                if os.path.exists(fifo):
                    os.unlink(fifo)
                os.mkfifo(fifo)
                status, events, _ = bed.provision(config_path)
                if where == "cached":
                    self.assertEqual((status, events[-1]), (0, COMPLETE))
                    self.assertEqual(os.path.isfile(fifo) and read_bytes(fifo), IMAGE_BODY)
                else:
                    prefix = "disk " if where == "disk" else ""
                    self.assertEqual((status, events[-1]),
                                     (1, error_line(f"{prefix}{fifo}: not a regular file")))

    def test_signalled_provision_leaves_no_download_running(self):
        for sig, status, error in ((signal.SIGTERM, 1, "SIGTERM"), (signal.SIGHUP, 1, "SIGHUP"),
                                   (signal.SIGKILL, -signal.SIGKILL, None)):
            with self.subTest(signal=sig.name):
                bed = ProvisionBed(self)
                _, config_path, _ = bed.write_vm()
                proc = bed.start_provision(config_path, env=bed.env(FAKE_CURL_SLOW="60"))
                pid = wait_until(lambda: os.path.exists(bed.tmp) and bed.curl_calls()[-1]["pid"],
                                 timeout=DEFAULT_TIMEOUT, what="the download to start")
                curl = os.path.join(bed.tools, "curl").encode()
                self.addCleanup(lambda p=pid, c=curl: fake_runs(p, c) and end_process(p))
                proc.send_signal(sig)
                out, _ = proc.communicate(timeout=DEFAULT_TIMEOUT)
                self.assertEqual(proc.returncode, status)
                wait_until(lambda: not fake_runs(pid, curl), timeout=10, what="curl to end")
                if error:
                    self.assertEqual(out.decode().splitlines(), [ENSURING, DOWNLOADING, error_line(
                        f"provision cancelled ({error}): download image: curl stopped")])
                    self.assertFalse(os.path.exists(bed.tmp))

    def test_image_missing_from_the_list(self):
        bed = ProvisionBed(self, sums=f"{sha256(b'x')} *ubuntu-24.04-server-cloudimg.img\n")
        _, config_path, _ = bed.write_vm()
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, error_line(f"{IMAGE_NAME} not found in SHA256SUMS")])
        self.assertEqual(len(bed.curl_calls()), 1)

    def test_stale_temporary_file_is_removed_before_the_download(self):
        bed = ProvisionBed(self)
        os.makedirs(bed.images)
        with open(bed.tmp, "wb") as f:
            f.write(b"left by a killed run")
        _, config_path, _ = bed.write_vm()
        status, _, _ = bed.provision(config_path)
        self.assertEqual(status, 0)
        download = bed.curl_calls()[1]
        self.assertEqual(download["argv"][4], bed.tmp)
        self.assertFalse(download["output_existed"])
        self.assertEqual(read_bytes(bed.cached), IMAGE_BODY)

    def test_checksum_fetch_failure_ends_provision_even_with_a_good_cache(self):
        bed, config_path, config = self.cached_vm(IMAGE_BODY)
        status, events, err = bed.provision(config_path, env=bed.env(FAKE_CURL_FAIL="list"))
        self.assertEqual((status, err), (1, ""))
        self.assertEqual(events, [ENSURING, error_line(FETCH_404)])
        self.assertEqual(bed.tool_calls(), [])
        self.assertFalse(os.path.exists(config["disk_path"]))

    def test_download_failure_keeps_the_cached_image(self):
        bed, config_path, _ = self.cached_vm(b"corrupt")
        status, events, _ = bed.provision(config_path, env=bed.env(FAKE_CURL_FAIL="image"))
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, DOWNLOADING, error_line(
            "download image: curl exited with exit status: 22: "
            "curl: (22) The requested URL returned error: 404")])
        self.assertEqual(read_bytes(bed.cached), b"corrupt")

    @unittest.skipIf(kelvo_testlib.SPAWN_ERRORS_HIDDEN, kelvo_testlib.SPAWN_ERRORS_HIDDEN_WHY)
    def test_missing_curl_is_a_spawn_error(self):
        bed = ProvisionBed(self, tools=("qemu-img", "cloud-localds"))
        _, config_path, _ = bed.write_vm()
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, error_line(
            "fetch SHA256SUMS: spawn curl: No such file or directory (os error 2)")])

    def test_digest_tool_without_output_leaves_the_download_in_place(self):
        bed = ProvisionBed(self)
        bed.add_script("sha256sum", "import sys\nsys.stdout.write('  \\n')\n")
        _, config_path, _ = bed.write_vm()
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, DOWNLOADING,
                                  error_line("sha256sum produced no output")])
        self.assertEqual(read_bytes(bed.tmp), IMAGE_BODY)
        self.assertFalse(os.path.exists(bed.cached))

    def test_home_unset_creates_nothing(self):
        bed = ProvisionBed(self)
        vm = bed.sandbox.path("vm")
        os.makedirs(vm)
        _, config_path, _ = bed.write_vm()
        status, events, _ = bed.provision(config_path, env=bed.env(HOME=None), cwd=vm)
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, error_line("HOME not set")])
        self.assertFalse(os.path.exists(bed.images))
        self.assertEqual(os.listdir(vm), [])
        self.assertEqual(bed.curl_calls(), [])

    def test_home_that_is_not_text_counts_as_unset(self):
        bed = ProvisionBed(self)
        _, config_path, _ = bed.write_vm()
        home = os.fsencode(bed.sandbox.path("home-\udcff"))
        status, events, _ = bed.provision(config_path, env=bed.env(HOME=home))
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, error_line("HOME not set")])
        self.assertFalse(os.path.exists(home))

    def test_images_dir_that_cannot_be_created(self):
        bed = ProvisionBed(self)
        _, config_path, _ = bed.write_vm()
        home_file = bed.sandbox.path("home-is-a-file")
        with open(home_file, "w") as f:
            f.write("")
        status, events, _ = bed.provision(config_path, env=bed.env(HOME=home_file))
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, error_line(
            "create images dir: Not a directory (os error 20)")])


def fake_runs(pid, program):
    """Whether pid is still the fake program, running (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return program in f.read()
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()
