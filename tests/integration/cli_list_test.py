"""list/ls (table and JSON), status and the front end, run against VM
directories written into a private HOME."""

import os
import signal
import subprocess
import unittest

import kelvo_testlib
from cli_support import CliTestCase, closed_port
from kelvo_testlib import BIN

EMPTY_STORE = ("No VMs on this host. Create one from the Kelvo app (or `kelvo-gui vm create "
               "--host …` on the Mac).\n").encode()


class FrontEndTest(CliTestCase):
    def test_unknown_command(self):
        self.check(["restart", "dev"], 1,
                   err="kelvo-vmhelper: unknown command 'restart' — run 'kelvo-vmhelper help' "
                       "for usage\n".encode())

    def test_vm_word_missing_is_reported_before_the_store_is_read(self):
        message = "kelvo-vmhelper: missing <vm> argument — see 'kelvo-vmhelper help'\n".encode()
        for command in ["status", "start", "stop", "hibernate", "logs", "delete"]:
            self.check([command], 1, err=message)
            self.check([command, "--force", "-f"], 1, err=message,
                       env=self.sb.env({"HOME": None}))

    def test_home_not_set(self):
        env = self.sb.env({"HOME": None})
        for args in (["list"], ["ls", "--json"], ["status", "x"], ["delete", "x", "--yes"]):
            self.check(args, 1, err=b"kelvo-vmhelper: HOME not set\n", env=env)

    def test_no_vms_and_no_match(self):
        self.check(["status", "x"], 1,
                   err=b"kelvo-vmhelper: no VMs on this host (nothing under ~/.kelvo/vms)\n")
        self.sb.write_vm("9a11", vm_name="dev")
        self.sb.write_vm("d0aa", vm_name="devbox")
        self.sb.write_vm("dev-7", vm_name="other")
        self.check(["status", "devb"], 1,
                   err="kelvo-vmhelper: no VM matches 'devb' — see 'kelvo-vmhelper list'\n".encode())
        self.check(["stop", "dev"], 1,
                   err=b"kelvo-vmhelper: 'dev' is ambiguous: dev (9a11), other (dev-7)\n")
        self.check(["logs", "-n", "5", "d0"], 1,
                   err="kelvo-vmhelper: no VM matches '5' — see 'kelvo-vmhelper list'\n".encode())


class ListTest(CliTestCase):
    def test_empty_store(self):
        for args in (["list"], ["ls"], ["ls", "whatever", "-x"]):
            self.check(args, 0, out=EMPTY_STORE)
        for args in (["ls", "--json"], ["list", "--json", "--json"]):
            self.check(args, 0, out=b"[]\n")
        os.makedirs(os.path.join(self.sb.home, ".kelvo", "vms"))
        self.check(["list"], 0, out=EMPTY_STORE)
        self.check(["list", "--json"], 0, out=b"[]\n")

    def build_store(self):
        """Four VMs in four states, plus entries that are not VMs."""
        sb = self.sb
        self.alpha, _, _ = sb.write_vm("11111111-aaaa", vm_name="alpha")
        self.beta, beta_cfg, _ = sb.write_vm("22222222-bbbb", vm_name="Beta", cpu_count=4,
                                             memory_mib=4096, disk_gib=20)
        self.web, web_cfg, _ = sb.write_vm("33333333-cccc-dddd", cpu_count=1, memory_mib=512)
        with open(os.path.join(self.web, "meta-data"), "w") as f:
            f.write("instance-id: web\nlocal-hostname:   \nlocal-hostname: web-1\n")
        self.hib, _, hib_config = sb.write_vm("44444444-eeee", memory_mib=1024)
        with open(hib_config["save_path"], "wb") as f:
            f.write(b"x")
        broken = sb.vm_dir("broken")
        os.makedirs(broken)
        with open(os.path.join(broken, "helper.json"), "w") as f:
            f.write('{"disk_path": ')
        with open(os.path.join(sb.home, ".kelvo", "vms", "notes.txt"), "w") as f:
            f.write("{}")

        ssh = self.listener()
        silent = self.listener(b"")
        self.beta_port, self.web_port = ssh.port, silent.port
        self.assertTrue(self.beta_port >= 10000 and self.web_port >= 10000)
        # Rewrite the two live VMs with their ports, then give them helpers.
        sb.write_vm("22222222-bbbb", vm_name="Beta", cpu_count=4, memory_mib=4096, disk_gib=20,
                    ssh_host_port=self.beta_port)
        sb.write_vm("33333333-cccc-dddd", cpu_count=1, memory_mib=512,
                    ssh_host_port=self.web_port)
        self.beta_helper = self.fake_helper(beta_cfg)
        self.web_helper = self.fake_helper(web_cfg)

    def test_table(self):
        self.build_store()
        b, w = self.beta_port, self.web_port
        expected = (
            "NAME          STATE       SSH    CPUS  MEMORY    ID\n"
            "44444444-eee  hibernated  -      2     1024 MiB  44444444-eee\n"
            f"Beta          running     {b}  4     4096 MiB  22222222-bbb\n"
            "alpha         stopped     -      2     2048 MiB  11111111-aaa\n"
            f"web-1         booting     {w}  1     512 MiB   33333333-ccc\n").encode()
        self.check(["list"], 0, out=expected)
        self.check(["ls", "extra", "words"], 0, out=expected)

    def test_json(self):
        self.build_store()

        def obj(cpus, d, disk_gib, vm_id, mem, name, pid, port, state):
            return (f'  {{\n    "cpus": {cpus},\n    "dir": "{d}",\n    "disk_gib": {disk_gib},\n'
                    f'    "id": "{vm_id}",\n    "memory_mib": {mem},\n    "name": "{name}",\n'
                    f'    "pid": {pid},\n    "ssh_port": {port},\n    "state": "{state}"\n  }}')

        expected = "[\n" + ",\n".join([
            obj(2, self.hib, 0, "44444444-eeee", 1024, "44444444-eee", "null", 0, "hibernated"),
            obj(4, self.beta, 20, "22222222-bbbb", 4096, "Beta", self.beta_helper.pid,
                self.beta_port, "running"),
            obj(2, self.alpha, 0, "11111111-aaaa", 2048, "alpha", "null", 0, "stopped"),
            obj(1, self.web, 0, "33333333-cccc-dddd", 512, "web-1", self.web_helper.pid,
                self.web_port, "booting"),
        ]) + "\n]\n"
        self.check(["list", "--json"], 0, out=expected.encode())

    def test_width_counts_bytes_and_fill_counts_characters(self):
        self.sb.write_vm("abc", vm_name="naïve—vm")  # 11 bytes, 8 characters
        self.check(["ls"], 0, out=(
            "NAME         STATE    SSH  CPUS  MEMORY    ID\n"
            "naïve—vm     stopped  -    2     2048 MiB  abc\n").encode())

    def test_vm_directory_that_is_a_symbolic_link(self):
        real = self.sb.path("elsewhere", "vm")
        os.makedirs(real)
        config = kelvo_testlib.vm_config(real, vm_name="linked-vm")
        import json
        with open(os.path.join(real, "helper.json"), "w") as f:
            json.dump(config, f)
        vms = os.path.join(self.sb.home, ".kelvo", "vms")
        os.makedirs(vms)
        os.symlink(real, os.path.join(vms, "lnk"))
        self.check(["ls"], 0, out=(
            "NAME       STATE    SSH  CPUS  MEMORY    ID\n"
            "linked-vm  stopped  -    2     2048 MiB  lnk\n").encode())

    def test_named_pipes_in_the_store_are_passed_over(self):
        fifo_vm = self.sb.vm_dir("fifo")
        os.makedirs(fifo_vm)
        os.mkfifo(os.path.join(fifo_vm, "helper.json"))
        d, _, _ = self.sb.write_vm("p1")
        os.mkfifo(os.path.join(d, "meta-data"))
        self.check(["ls"], 0, out=(
            "NAME  STATE    SSH  CPUS  MEMORY    ID\n"
            "p1    stopped  -    2     2048 MiB  p1\n").encode(), timeout=20)

    def test_process_without_command_line_is_passed_over(self):
        # An exited, unreaped child has an empty command line in /proc.
        zombie = subprocess.Popen(["true"])
        kelvo_testlib.wait_until(lambda: kelvo_testlib.process_state(zombie.pid) == "Z", 10,
                                 what="zombie")
        try:
            _, cfg, _ = self.sb.write_vm("z1", vm_name="z")
            self.check(["ls"], 0, out=(
                "NAME  STATE    SSH  CPUS  MEMORY    ID\n"
                "z     stopped  -    2     2048 MiB  z1\n").encode())
        finally:
            zombie.wait(timeout=10)

    def test_closed_output_ends_quietly(self):
        for i in range(30):
            self.sb.write_vm(f"vm-{i:02}", vm_name=f"vm-{i:02}")
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            proc = subprocess.run([BIN, "list"], stdout=write_end, stderr=subprocess.PIPE,
                                  env=self.sb.env(), timeout=kelvo_testlib.DEFAULT_TIMEOUT)
        finally:
            os.close(write_end)
        self.assertEqual((proc.returncode, proc.stderr), (-signal.SIGPIPE, b""))


class StatusTest(CliTestCase):
    def lines(self, vm_dir, cfg):
        return {
            "dir": f"  dir:       {vm_dir}\n",
            "logs": f"  logs:      {vm_dir}/helper.out (events) · {cfg['console_log_path']} "
                    "(serial console)\n",
        }

    def test_stopped_without_disk(self):
        d, _, cfg = self.sb.write_vm("3f2a9c1e-77d0-4e8b-9a51-0c6f5e2d1b44", memory_mib=1024,
                                     disk_gib=10)
        tail = self.lines(d, cfg)
        self.check(["status", "3f2a"], 0, out=(
            "3f2a9c1e-77d\n"
            "  id:        3f2a9c1e-77d0-4e8b-9a51-0c6f5e2d1b44\n"
            "  state:     stopped\n"
            "  cpus:      2\n"
            "  memory:    1024 MiB\n"
            "  disk:      10 GiB (not provisioned)\n" + tail["dir"] + tail["logs"]).encode())

    def test_running_with_disk_tie_and_open_port(self):
        ssh = self.listener()
        d, cfg_path, cfg = self.sb.write_vm("r1", vm_name="dev-box", ssh_host_port=ssh.port,
                                            disk_gib=20)
        with open(cfg["disk_path"], "wb") as f:
            f.truncate(256 << 20)  # exactly 0.25 GiB: the tie goes to 0.2
        helper = self.fake_helper(cfg_path)
        tail = self.lines(d, cfg)
        self.check(["status", "dev-box", "--ignored"], 0, out=(
            "dev-box\n"
            "  id:        r1\n"
            "  state:     running\n"
            f"  helper:    pid {helper.pid}\n"
            f"  ssh:       127.0.0.1:{ssh.port} (open)\n"
            "  cpus:      2\n"
            "  memory:    2048 MiB\n"
            "  disk:      20 GiB (0.2 GiB used)\n" + tail["dir"] + tail["logs"]).encode())

    def test_booting_when_port_accepts_without_ssh(self):
        silent = self.listener(b"")
        d, cfg_path, cfg = self.sb.write_vm("b1", vm_name="slow", ssh_host_port=silent.port)
        helper = self.fake_helper(cfg_path)
        tail = self.lines(d, cfg)
        self.check(["status", "slow"], 0, out=(
            "slow\n"
            "  id:        b1\n"
            "  state:     booting\n"
            f"  helper:    pid {helper.pid}\n"
            f"  ssh:       127.0.0.1:{silent.port} (closed)\n"
            "  cpus:      2\n"
            "  memory:    2048 MiB\n"
            "  disk:      0 GiB (not provisioned)\n" + tail["dir"] + tail["logs"]).encode())

    def test_hibernated_with_snapshot_rounded(self):
        port = closed_port()
        d, _, cfg = self.sb.write_vm("h1", vm_name="sleepy", ssh_host_port=port)
        with open(cfg["save_path"], "wb") as f:
            f.truncate(3 << 19)  # 1.5 MiB: the tie goes to 2
        with open(cfg["disk_path"], "wb") as f:
            f.truncate(3 << 30)
        tail = self.lines(d, cfg)
        self.check(["status", "h1"], 0, out=(
            "sleepy\n"
            "  id:        h1\n"
            "  state:     hibernated\n"
            f"  ssh:       127.0.0.1:{port} (closed)\n"
            "  cpus:      2\n"
            "  memory:    2048 MiB\n"
            "  disk:      0 GiB (3.0 GiB used)\n"
            f"  snapshot:  {cfg['save_path']} (2 MiB)\n" + tail["dir"] + tail["logs"]).encode())

    def test_relative_config_path_is_not_the_helper(self):
        d, cfg_path, cfg = self.sb.write_vm("rel", vm_name="rel")
        self.fake_helper(os.path.relpath(cfg_path, self.sb.root))
        out = self.run_cli("status", "rel")[1]
        self.assertIn(b"  state:     stopped\n", out)
        self.assertNotIn(b"helper:", out)


if __name__ == "__main__":
    unittest.main()
