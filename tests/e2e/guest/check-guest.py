#!/usr/bin/env python3
"""Boots a built test guest once, by hand, the way kelvo-vmhelper starts
QEMU (the same argument vector as src/machine/qemu_args.cpp), with a
cloud-init seed, and checks what the end-to-end tests rely on:

  * the SSH identification ("SSH-...") on the forwarded port,
  * `ssh -i KEY root@127.0.0.1 -p PORT hostname` prints the seed's hostname
    (the key comes from the seed's user-data),
  * the guest agent answers guest-ping,
  * QMP system_powerdown ends QEMU.

usage: check-guest.py [--arch amd64|arm64] [--guest PATH] [--smp N] [--memory MIB] [--keep]
  --guest   guest.qcow2 (default: the e2e cache folder of the arch,
            /var/tmp/kelvo-test-guest[-arm64])
Without a usable /dev/kvm, tests/e2e/qemu-shim goes first on PATH (software
emulation). Every wait has a limit; only the QEMU started here is ended.
Prints one line per check with the seconds since QEMU started; exit status 0
when every check passed."""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SHIM_DIR = os.path.join(HERE, "..", "qemu-shim")

ARCHES = {
    "amd64": {
        "qemu": "qemu-system-x86_64",
        "machine": "q35,accel=kvm",
        "firmware": ("/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"),
        "guest": "/var/tmp/kelvo-test-guest/guest.qcow2",
    },
    "arm64": {
        "qemu": "qemu-system-aarch64",
        "machine": "virt,accel=kvm,gic-version=max",
        "firmware": ("/usr/share/AAVMF/AAVMF_CODE.fd", "/usr/share/AAVMF/AAVMF_VARS.fd"),
        "guest": "/var/tmp/kelvo-test-guest-arm64/guest.qcow2",
    },
}

BANNER_LIMIT = 240
SSH_LIMIT = 60
AGENT_LIMIT = 60
POWERDOWN_LIMIT = 60


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def banner(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            s.settimeout(3)
            return s.recv(64)
    except OSError:
        return b""


def json_lines(sock_path, requests, limit):
    """Sends each request on a fresh connection's JSON-lines channel and
    returns the replies (skipping greetings and events)."""
    deadline = time.monotonic() + limit
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(limit)
        s.connect(sock_path)
        buf = b""
        replies = []
        for request in requests:
            s.sendall(json.dumps(request).encode() + b"\n")
            while True:
                while b"\n" not in buf:
                    s.settimeout(max(0.1, deadline - time.monotonic()))
                    chunk = s.recv(65536)
                    if not chunk:
                        raise ConnectionError("channel closed")
                    buf += chunk
                line, buf = buf.split(b"\n", 1)
                try:
                    reply = json.loads(line.strip(b"\xff \r"))
                except ValueError:
                    continue
                if "return" in reply or "error" in reply:
                    replies.append(reply)
                    break
        return replies


def kvm_usable():
    return os.access("/dev/kvm", os.R_OK | os.W_OK) and os.environ.get("KELVO_E2E_KVM") != "0"


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--arch", default=os.environ.get("ARCH", "amd64"), choices=sorted(ARCHES))
    p.add_argument("--guest")
    p.add_argument("--smp", type=int, default=2)
    p.add_argument("--memory", type=int, default=1024)
    p.add_argument("--keep", action="store_true", help="keep the scratch folder")
    a = p.parse_args()
    t = ARCHES[a.arch]
    guest = os.path.abspath(a.guest or t["guest"])
    if not os.path.isfile(guest):
        sys.exit(f"no guest at {guest} (build it: ARCH={a.arch} tests/e2e/guest/build-guest.sh)")
    code, vars_template = t["firmware"]
    work = tempfile.mkdtemp(prefix=f"kelvo-guest-check-{a.arch}-")
    env = dict(os.environ)
    if not kvm_usable():
        env["PATH"] = os.path.abspath(SHIM_DIR) + ":" + env.get("PATH", "/usr/bin:/bin")
    qemu = None
    failures = []
    t0 = time.monotonic()

    def note(what, ok=True):
        print(f"[{time.monotonic() - t0:6.1f}s] {'ok  ' if ok else 'FAIL'} {what}", flush=True)
        if not ok:
            failures.append(what)

    try:
        key = os.path.join(work, "id_ed25519")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "check@host", "-f", key],
                       check=True, timeout=30)
        with open(key + ".pub") as f:
            pub = f.read().strip()
        hostname = f"check-{a.arch}-{uuid.uuid4().hex[:6]}"
        seed_dir = os.path.join(work, "seed")
        os.makedirs(seed_dir)
        with open(os.path.join(seed_dir, "user-data"), "w") as f:
            f.write("#cloud-config\nhostname: %s\nusers:\n  - default\nssh_authorized_keys:\n  - %s\n"
                    % (hostname, pub))
        with open(os.path.join(seed_dir, "meta-data"), "w") as f:
            f.write("instance-id: %s\nlocal-hostname: %s\n" % (uuid.uuid4(), hostname))
        seed = os.path.join(work, "seed.iso")
        subprocess.run(["genisoimage", "-quiet", "-output", seed, "-volid", "cidata", "-joliet", "-rock",
                        os.path.join(seed_dir, "user-data"), os.path.join(seed_dir, "meta-data")],
                       check=True, timeout=60)
        disk = os.path.join(work, "disk.qcow2")
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "qcow2", "-b", guest, disk],
                       check=True, timeout=60)
        efi_vars = os.path.join(work, "efi-vars.fd")
        shutil.copyfile(vars_template, efi_vars)
        port = free_port()
        qmp, qga, console = (os.path.join(work, n) for n in ("qmp.sock", "qga.sock", "console.log"))
        args = [
            "-machine", t["machine"], "-cpu", "host", "-name", "kelvo", "-uuid", str(uuid.uuid4()),
            "-smp", str(a.smp), "-m", f"{a.memory}M",
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
            "-drive", f"if=pflash,format=raw,unit=1,file={efi_vars}",
            "-drive", f"if=virtio,format=qcow2,file={disk}",
            "-drive", f"if=virtio,format=raw,file={seed},readonly=on",
            "-netdev", f"user,id=net0,hostfwd=tcp:127.0.0.1:{port}-:22",
            "-device", "virtio-net-pci,netdev=net0,mac=52:54:00:c0:ff:ee",
            "-device", "virtio-rng-pci", "-device", "virtio-balloon-pci",
            "-display", "none", "-serial", f"file:{console}",
            "-qmp", f"unix:{qmp},server,nowait",
            "-chardev", f"socket,path={qga},server=on,wait=off,id=qga0",
            "-device", "virtio-serial", "-device", "virtserialport,chardev=qga0,name=org.qemu.guest_agent.0",
        ]
        t0 = time.monotonic()
        qemu = subprocess.Popen([t["qemu"]] + args, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "qemu.err"), "wb"))
        # The shim execs QEMU: the pid it started becomes qemu-system-*.
        program = ""
        while time.monotonic() - t0 < 5 and "qemu-system" not in program:
            with open(f"/proc/{qemu.pid}/cmdline", "rb") as f:
                program = f.read().split(b"\0")[0].decode()
            time.sleep(0.05)
        note(f"QEMU pid {qemu.pid} runs {program} "
             f"({'KVM' if kvm_usable() else 'software emulation through the shim'})", "qemu-system" in program)

        deadline = t0 + BANNER_LIMIT
        got = b""
        while time.monotonic() < deadline and qemu.poll() is None:
            got = banner(port)
            if got.startswith(b"SSH-"):
                break
            time.sleep(0.5)
        note(f"SSH banner {got.strip().decode(errors='replace')!r}", got.startswith(b"SSH-"))
        if not got.startswith(b"SSH-"):
            raise RuntimeError("no banner")

        out = subprocess.run(["ssh", "-i", key, "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
                              "-o", "BatchMode=yes", "-o", "ConnectTimeout=20", "-o", "LogLevel=ERROR",
                              "-p", str(port), "root@127.0.0.1", "hostname"],
                             capture_output=True, timeout=SSH_LIMIT)
        printed = out.stdout.decode(errors="replace").strip()
        note(f"ssh ... hostname printed {printed!r} (want {hostname!r}) "
             f"{out.stderr.decode(errors='replace').strip()}", out.returncode == 0 and printed == hostname)

        ping = None
        deadline = time.monotonic() + AGENT_LIMIT
        while time.monotonic() < deadline:
            try:
                ping = json_lines(qga, [{"execute": "guest-ping"}], 10)[0]
                break
            except (OSError, ConnectionError, IndexError):
                time.sleep(0.5)
        note(f"guest-ping answered {ping}", ping == {"return": {}})

        json_lines(qmp, [{"execute": "qmp_capabilities"}, {"execute": "system_powerdown"}], 20)
        tp = time.monotonic()
        try:
            qemu.wait(timeout=POWERDOWN_LIMIT)
            note(f"system_powerdown ended QEMU after {time.monotonic() - tp:.1f}s (status {qemu.returncode})",
                 qemu.returncode == 0)
        except subprocess.TimeoutExpired:
            note(f"QEMU still running {POWERDOWN_LIMIT}s after system_powerdown", False)
    except Exception as e:  # noqa: BLE001 - reported, then cleaned up
        failures.append(str(e))
        print(f"error: {e}", file=sys.stderr)
    finally:
        if qemu is not None and qemu.poll() is None:
            qemu.kill()
            qemu.wait(timeout=30)
        console_path = os.path.join(work, "console.log")
        if os.path.exists(console_path):
            with open(console_path, errors="replace") as f:
                lines = f.read().splitlines()
            if not failures:
                lines = [line for line in lines if "e2e-guest" in line or "udhcpc" in line]
            lines = lines[-30:]
            print("console:\n  " + "\n  ".join(lines))
        if failures or a.keep:
            print(f"scratch folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
