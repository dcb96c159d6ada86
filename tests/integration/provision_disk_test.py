"""provision after the image: disk copy and resize, the cloud-init seed with
cloud-localds or genisoimage, and the UEFI variable store."""

import os
import stat
import unittest

import kelvo_testlib

from provision_support import (BUILDING_SEED, COMPLETE, CREATING_DISK, ENSURING, IMAGE_BODY,
                               MISSING_TAIL, ProvisionBed, error_line, read_bytes)

SEED_FAILED = "seed build failed (need cloud-image-utils or genisoimage): "


def cached_bed(test, **kwargs):
    bed = ProvisionBed(test, **kwargs)
    bed.cache_image(IMAGE_BODY)
    return bed


class DiskTest(unittest.TestCase):

    def test_no_resize_when_disk_gib_is_zero(self):
        bed = cached_bed(self)
        _, config_path, config = bed.write_vm(disk_gib=0)
        self.assertEqual(bed.provision(config_path)[0], 0)
        self.assertEqual([argv[0] for argv in bed.tool_calls("qemu-img")], ["convert"])

    def test_resize_to_disk_gib(self):
        bed = cached_bed(self)
        _, config_path, config = bed.write_vm(disk_gib=20)
        self.assertEqual(bed.provision(config_path)[0], 0)
        self.assertEqual(bed.tool_calls("qemu-img"), [
            ["convert", "-f", "qcow2", "-O", "qcow2", bed.cached, config["disk_path"]],
            ["resize", config["disk_path"], "20G"],
        ])

    def test_existing_disk_is_recreated_from_the_image(self):
        bed = cached_bed(self)
        _, config_path, config = bed.write_vm()
        snapshot = [config["save_path"] + suffix for suffix in ("", ".part", ".fingerprint")]
        for path in [config["disk_path"]] + snapshot:
            with open(path, "wb") as f:
                f.write(b"old guest data")
        os.chmod(config["disk_path"], 0o644)
        self.addCleanup(os.umask, os.umask(0))
        self.assertEqual(bed.provision(config_path)[0], 0)
        self.assertEqual(read_bytes(config["disk_path"]), b"qcow2 copy\n" + IMAGE_BODY)
        # The guest's disk is its owner's alone, whatever the umask.
        self.assertEqual(os.stat(config["disk_path"]).st_mode & 0o777, 0o600)
        # No old guest's memory is resumed over the new disk.
        self.assertFalse(any(os.path.lexists(path) for path in snapshot))

    def test_save_path_naming_the_disk_is_refused_first(self):
        bed = cached_bed(self)
        disk = bed.sandbox.path("disk.qcow2")
        _, config_path, _ = bed.write_vm(save_path=disk, disk_path=disk)
        with open(disk, "wb") as f:
            f.write(b"guest data")
        self.assertEqual(bed.provision(config_path)[:2], (1, [error_line(
            f"save_path {disk} is the same file as disk_path {disk}")]))
        self.assertEqual((bed.curl_calls(), bed.tool_calls(), read_bytes(disk)),
                         ([], [], b"guest data"))

    def test_convert_failure_leaves_no_disk(self):
        torn_at = len(b"qcow2 copy\n" + IMAGE_BODY) // 4
        for switch, stderr in (({"FAKE_FAIL": "qemu-img:convert"}, "failed as asked"),
                               ({"FAKE_QEMU_IMG_FULL": "1"}, f"error while writing at byte "
                                f"{torn_at}: No space left on device")):
            with self.subTest(switch=switch):
                bed = cached_bed(self)
                _, config_path, config = bed.write_vm()
                status, events, _ = bed.provision(config_path, env=bed.env(**switch))
                self.assertEqual(status, 1)
                self.assertEqual(events, [ENSURING, CREATING_DISK, error_line(
                    f"qemu-img convert: qemu-img exited with exit status: 1: qemu-img: {stderr}")])
                self.assertFalse(os.path.exists(config["disk_path"]))
                self.assertFalse(os.path.exists(config["seed_path"]))

    def test_resize_failure_leaves_no_disk(self):
        bed = cached_bed(self)
        _, config_path, config = bed.write_vm(disk_gib=8)
        status, events, _ = bed.provision(config_path, env=bed.env(FAKE_FAIL="qemu-img:resize"))
        self.assertEqual(status, 1)
        self.assertEqual(events[-1], error_line(
            "qemu-img resize: qemu-img exited with exit status: 1: qemu-img: failed as asked"))
        self.assertFalse(os.path.exists(config["disk_path"]))
        self.assertEqual(bed.tool_calls("cloud-localds"), [])


class SeedTest(unittest.TestCase):

    def test_seed_is_built_by_cloud_localds(self):
        bed = cached_bed(self)
        directory, config_path, config = bed.write_vm()
        with open(config["seed_path"], "wb") as f:
            f.write(b"previous seed")
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 0)
        self.assertEqual(bed.tool_calls("cloud-localds"), [[
            config["seed_path"], os.path.join(directory, "user-data"),
            os.path.join(directory, "meta-data")]])
        self.assertEqual(bed.tool_calls("genisoimage"), [])
        self.assertEqual(read_bytes(config["seed_path"]),
                         b"cloud-localds seed\n#user-data\n#meta-data\n")

    def test_only_user_data_uploaded(self):
        bed = cached_bed(self)
        directory, config_path, config = bed.write_vm(inputs=("user-data",))
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 1)
        self.assertEqual(events, [
            ENSURING, CREATING_DISK, BUILDING_SEED,
            error_line(f"missing {directory}/user-data{MISSING_TAIL}")])
        self.assertEqual(bed.tool_calls("cloud-localds") + bed.tool_calls("genisoimage"), [])

    def test_without_cloud_localds_genisoimage_builds_the_seed(self):
        bed = cached_bed(self, tools=("curl", "qemu-img", "genisoimage"))
        directory, config_path, config = bed.write_vm()
        status, events, _ = bed.provision(config_path)
        self.assertEqual((status, events[-1]), (0, COMPLETE))
        self.assertEqual(bed.tool_calls("genisoimage"), [[
            "-output", config["seed_path"], "-volid", "cidata", "-joliet", "-rock",
            os.path.join(directory, "user-data"), os.path.join(directory, "meta-data")]])
        self.assertEqual(read_bytes(config["seed_path"]),
                         b"genisoimage seed\n#user-data\n#meta-data\n")

    def test_failing_cloud_localds_falls_back_to_genisoimage(self):
        bed = cached_bed(self)
        _, config_path, _ = bed.write_vm()
        status, events, _ = bed.provision(config_path, env=bed.env(FAKE_FAIL="cloud-localds"))
        self.assertEqual((status, events[-1]), (0, COMPLETE))
        self.assertEqual(len(bed.tool_calls("genisoimage")), 1)

    @unittest.skipIf(kelvo_testlib.SPAWN_ERRORS_HIDDEN, kelvo_testlib.SPAWN_ERRORS_HIDDEN_WHY)
    def test_neither_seed_tool(self):
        bed = cached_bed(self, tools=("curl", "qemu-img"))
        _, config_path, config = bed.write_vm()
        with open(config["seed_path"], "wb") as f:
            f.write(b"previous seed")
        status, events, _ = bed.provision(config_path)
        self.assertEqual(status, 1)
        self.assertEqual(events, [ENSURING, CREATING_DISK, BUILDING_SEED, error_line(
            SEED_FAILED + "spawn genisoimage: No such file or directory (os error 2)")])
        self.assertFalse(os.path.exists(config["seed_path"]))

    def test_genisoimage_failure_after_cloud_localds_failure(self):
        bed = cached_bed(self)
        _, config_path, _ = bed.write_vm()
        env = bed.env(FAKE_FAIL="cloud-localds,genisoimage")
        status, events, _ = bed.provision(config_path, env=env)
        self.assertEqual(status, 1)
        self.assertEqual(events[-1], error_line(
            SEED_FAILED + "genisoimage exited with exit status: 1: genisoimage: failed as asked"))

    def test_bare_seed_path_uses_the_working_directory(self):
        bed = cached_bed(self)
        directory, config_path, _ = bed.write_vm(seed_path="seed.iso")
        status, events, _ = bed.provision(config_path, cwd=directory)
        self.assertEqual((status, events[-1]), (0, COMPLETE))
        self.assertEqual(bed.tool_calls("cloud-localds"),
                         [["seed.iso", "user-data", "meta-data"]])
        self.assertTrue(os.path.exists(os.path.join(directory, "seed.iso")))

    def test_bare_seed_path_without_inputs_names_the_working_directory(self):
        bed = cached_bed(self)
        elsewhere = bed.sandbox.path("elsewhere")
        os.makedirs(elsewhere)
        _, config_path, _ = bed.write_vm(seed_path="seed.iso")
        status, events, _ = bed.provision(config_path, cwd=elsewhere)
        self.assertEqual(status, 1)
        self.assertEqual(events[-1], error_line(f"missing ./user-data{MISSING_TAIL}"))

    def test_seed_path_without_parent(self):
        for seed_path in ("", "/"):
            with self.subTest(seed_path=seed_path):
                bed = cached_bed(self)
                _, config_path, _ = bed.write_vm(seed_path=seed_path)
                status, events, _ = bed.provision(config_path)
                self.assertEqual(status, 1)
                self.assertEqual(events, [ENSURING, CREATING_DISK, BUILDING_SEED,
                                          error_line("seed_path has no parent dir")])


class VarstoreTest(unittest.TestCase):

    def test_no_firmware_still_completes_without_a_store(self):
        bed = cached_bed(self)
        _, config_path, config = bed.write_vm()  # firmware_path names a missing file
        status, events, _ = bed.provision(config_path)
        self.assertEqual((status, events[-1]), (0, COMPLETE))
        self.assertFalse(os.path.exists(config["efi_store_path"]))

    def test_firmware_path_creates_the_store_with_mode_644(self):
        bed = cached_bed(self)
        code = bed.sandbox.make_firmware()
        _, config_path, config = bed.write_vm(firmware_path=code)
        old_umask = os.umask(0o077)  # the mode must not depend on the umask
        try:
            status, events, _ = bed.provision(config_path)
        finally:
            os.umask(old_umask)
        self.assertEqual((status, events[-1]), (0, COMPLETE))
        store = config["efi_store_path"]
        self.assertEqual(read_bytes(store), read_bytes(code.replace("CODE", "VARS")))
        self.assertEqual(stat.S_IMODE(os.stat(store).st_mode), 0o644)

    def test_existing_store_is_left_unchanged(self):
        bed = cached_bed(self)
        code = bed.sandbox.make_firmware()
        _, config_path, config = bed.write_vm(firmware_path=code)
        store = config["efi_store_path"]
        with open(store, "wb") as f:
            f.write(b"guest variables")
        os.chmod(store, 0o600)
        status, _, _ = bed.provision(config_path)
        self.assertEqual(status, 0)
        self.assertEqual(read_bytes(store), b"guest variables")
        self.assertEqual(stat.S_IMODE(os.stat(store).st_mode), 0o600)

    def test_unwritable_store_location_is_ignored(self):
        bed = cached_bed(self)
        code = bed.sandbox.make_firmware()
        missing_dir_store = bed.sandbox.path("no-such-dir", "efi.fd")
        _, config_path, _ = bed.write_vm(firmware_path=code, efi_store_path=missing_dir_store)
        status, events, _ = bed.provision(config_path)
        self.assertEqual((status, events[-1]), (0, COMPLETE))
        self.assertFalse(os.path.exists(missing_dir_store))


if __name__ == "__main__":
    unittest.main()
