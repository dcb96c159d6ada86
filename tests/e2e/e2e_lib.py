"""Shared pieces of the end-to-end tests: the real test guest, a private HOME
with a local `curl` stand-in that serves the guest as the cloud image, VM
directories, the guest's SSH banner and guest agent, and the bookkeeping that
ends every helper and QEMU a test started, by pid.

Real QEMU runs the guest; where KVM cannot run it, the shim in qemu-shim/
(KVM swapped for software emulation) goes first on PATH. The guest is built
by guest/build-guest.sh. KELVO_E2E_ARCH (amd64, the default, or arm64) picks
the architecture the cases run for: its emulator, firmware, cloud image name
and guest (see ARCHES). Every wait has a limit."""

import atexit
import base64
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
# The sandbox, waiting, free ports, event lines and ending processes come
# from the integration tests' library.
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
import kelvo_testlib as testlib  # noqa: E402
SHIM_DIR = os.path.join(HERE, "qemu-shim")
GUEST_BUILDER = os.path.join(HERE, "guest", "build-guest.sh")
CLOUD_IMAGE_BUILDER = os.path.join(HERE, "cloud-image", "build-cloud-image.sh")
# Where the real cloud image (x86-64 only) is built and its downloads cached.
CLOUD_IMAGE_DIR = os.environ.get("KELVO_CLOUD_IMAGE_DIR", "/var/tmp/kelvo-cloud-image")

# Limits, generous for software emulation on a busy 2-core host.
BOOT_LIMIT = 240          # cold boot until the guest's sshd answers
COMMAND_LIMIT = 120       # a management command that does not wait for a boot
START_LIMIT = 200         # `start` itself waits at most 180 s
HIBERNATE_LIMIT = 300
STOP_LIMIT = 100          # `stop` waits at most 75 s
PROCESS_END_LIMIT = 30

# The firmware tables of an x86-64 build (CODE, VARS).
OVMF_PAIRS = [
    ("/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"),
    ("/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"),
    ("/usr/share/edk2/x64/OVMF_CODE.4m.fd", "/usr/share/edk2/x64/OVMF_VARS.4m.fd"),
    ("/usr/share/edk2/ovmf/OVMF_CODE.fd", "/usr/share/edk2/ovmf/OVMF_VARS.fd"),
    ("/usr/share/qemu/OVMF_CODE.fd", "/usr/share/qemu/OVMF_VARS.fd"),
]
# ... and of an ARM64 build.
AAVMF_PAIRS = [
    ("/usr/share/AAVMF/AAVMF_CODE.fd", "/usr/share/AAVMF/AAVMF_VARS.fd"),
    ("/usr/share/edk2/aarch64/QEMU_EFI.fd", "/usr/share/edk2/aarch64/vars-template-pflash.raw"),
    ("/usr/share/qemu-efi-aarch64/QEMU_EFI.fd", "/usr/share/qemu-efi-aarch64/vars-template-pflash.raw"),
    ("/usr/share/edk2/arm/QEMU_EFI.fd", "/usr/share/edk2/arm/vars-template-pflash.raw"),
]

# What differs between the architectures the cases can run for.
ARCHES = {
    "amd64": {
        "qemu": "qemu-system-x86_64",
        "machine": "q35,accel=kvm",             # what the program passes to -machine
        "firmware_pairs": OVMF_PAIRS,
        "image_name": "ubuntu-25.10-server-cloudimg-amd64.img",
        "guest_dir": os.environ.get("KELVO_GUEST_DIR", "/var/tmp/kelvo-test-guest"),
        "elf_machine": 62,                      # EM_X86_64
        "build_dir": "build",                   # where KELVO_BIN is looked for when unset
    },
    "arm64": {
        "qemu": "qemu-system-aarch64",
        "machine": "virt,accel=kvm,gic-version=max",
        "firmware_pairs": AAVMF_PAIRS,
        "image_name": "ubuntu-25.10-server-cloudimg-arm64.img",
        "guest_dir": os.environ.get("KELVO_GUEST_DIR_ARM64", "/var/tmp/kelvo-test-guest-arm64"),
        "elf_machine": 183,                     # EM_AARCH64
        "build_dir": "build-arm64",
    },
}
ARCH = os.environ.get("KELVO_E2E_ARCH", "amd64")
if ARCH not in ARCHES:
    raise SystemExit(f"KELVO_E2E_ARCH must be one of {', '.join(ARCHES)} (got {ARCH!r})")
TARGET = ARCHES[ARCH]

QEMU = TARGET["qemu"]
MACHINE = TARGET["machine"]
FIRMWARE_PAIRS = TARGET["firmware_pairs"]
IMAGE_NAME = TARGET["image_name"]
RELEASE_PATH = "/releases/questing/release"
# Where the guest is built and its downloads cached between runs.
GUEST_DIR = TARGET["guest_dir"]
# The program under test: the build of the architecture.
BIN = os.path.abspath(os.environ.get("KELVO_BIN", os.path.join(HERE, "..", "..", TARGET["build_dir"],
                                                               "kelvo-vmhelper")))


def log(msg):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


# --------------------------------------------------------------- host checks

def real_qemu():
    """Path of the real emulator, or None."""
    real = os.environ.get("QEMU_SHIM_REAL", "/usr/bin/" + QEMU)
    if os.access(real, os.X_OK):
        return real
    return shutil.which(QEMU)


def host_firmware():
    for code, vars_ in FIRMWARE_PAIRS:
        if os.path.exists(code) and os.path.exists(vars_):
            return code, vars_
    return None


KVM_PROBE_LIMIT = 15  # seconds the firmware gets to print under KVM


def _qmp_status(sock_path):
    """QEMU's run state through its monitor socket, or None."""
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(3)
            s.connect(sock_path)
            f = s.makefile("rw")
            f.readline()
            for command in ("qmp_capabilities", "query-status"):
                f.write(json.dumps({"execute": command}) + "\n")
                f.flush()
                while True:
                    reply = json.loads(f.readline())
                    if "return" in reply or "error" in reply:
                        break
            return reply.get("return", {}).get("status")
    except (OSError, ValueError):
        return None


def kvm_problem(qemu):
    """Why KVM cannot run the guest here, or None when it can. A KVM that
    opens but cannot execute the guest's code (nested virtualisation without
    full support) is found only by running some: the firmware boots under
    KVM, and must print on its serial console while QEMU says it runs.
    Override with KELVO_E2E_KVM=0/1."""
    forced = os.environ.get("KELVO_E2E_KVM")
    if forced in ("0", "1"):
        return None if forced == "1" else "KELVO_E2E_KVM=0"
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "no read-write /dev/kvm"
    firmware = host_firmware()
    if not qemu or not firmware:
        return "no QEMU or UEFI firmware to try KVM with"
    work = tempfile.mkdtemp(prefix="kelvo-kvm-probe-")
    console, qmp, qemu_log = (os.path.join(work, n) for n in ("console", "qmp.sock", "qemu.log"))
    shutil.copyfile(firmware[1], os.path.join(work, "vars.fd"))
    argv = [qemu, "-machine", MACHINE, "-cpu", "host", "-m", "256", "-nodefaults",
            "-display", "none", "-no-user-config",
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={firmware[0]}",
            "-drive", f"if=pflash,format=raw,unit=1,file={os.path.join(work, 'vars.fd')}",
            "-serial", f"file:{console}", "-qmp", f"unix:{qmp},server=on,wait=off"]
    try:
        with open(qemu_log, "wb") as out:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    except OSError as e:
        shutil.rmtree(work, ignore_errors=True)
        return f"cannot start {qemu}: {e}"

    def first_log_line():
        with open(qemu_log, errors="replace") as f:
            lines = [line.strip() for line in f if line.strip()]
        return lines[0] if lines else "no message"

    problem = None
    try:
        deadline = time.monotonic() + KVM_PROBE_LIMIT
        while True:
            time.sleep(0.25)
            if proc.poll() is not None:
                problem = f"QEMU ended at once ({first_log_line()})"
                break
            printed = os.path.exists(console) and os.path.getsize(console) > 0
            if printed or time.monotonic() > deadline:
                status = _qmp_status(qmp)
                if status != "running":
                    problem = f"QEMU stopped the guest ({status}: {first_log_line()})"
                elif not printed:
                    problem = f"the firmware printed nothing within {KVM_PROBE_LIMIT} s"
                break
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    return problem and f"KVM is present but cannot run the guest here: {problem}"


def kvm_usable(qemu):
    """True when KVM can run the guest here (kvm_problem)."""
    return kvm_problem(qemu) is None


def elf_machine(path):
    """The ELF e_machine of an executable, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return None
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return int.from_bytes(head[18:20], "little" if head[5] == 1 else "big")


def program_problem():
    """Why the program under test cannot serve here, or None: it is missing,
    built for another architecture than KELVO_E2E_ARCH, or does not run (an
    ARM64 build on another host runs through qemu-user registered with
    binfmt_misc: scripts/test/binfmt-aarch64.sh)."""
    if not os.access(BIN, os.X_OK):
        return f"the built program ({BIN})"
    machine = elf_machine(BIN)
    if machine is not None and machine != TARGET["elf_machine"]:
        return f"the {ARCH} build of the program ({BIN} is built for ELF machine {machine})"
    try:
        out = subprocess.run([BIN, "version"], stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if out.returncode == 0:
            return None
        detail = (out.stdout + out.stderr).decode(errors="replace").strip()
    except OSError as e:
        detail = str(e)
    except subprocess.TimeoutExpired:
        detail = "`version` did not finish within 60 s"
    hint = "" if ARCH == "amd64" else " (register qemu-user first: scripts/test/binfmt-aarch64.sh)"
    return f"a program that runs here: {BIN} version: {detail}{hint}"


def missing_host_tools():
    """What the real lifecycle needs on this host besides QEMU."""
    missing = []
    problem = program_problem()
    if problem:
        missing.append(problem)
    for tool in ("qemu-img", "sha256sum", "ssh", "ssh-keygen"):
        if shutil.which(tool) is None:
            missing.append(tool)
    if shutil.which("cloud-localds") is None and shutil.which("genisoimage") is None:
        missing.append("cloud-localds or genisoimage")
    if host_firmware() is None:
        missing.append("UEFI firmware (" + ("ovmf" if ARCH == "amd64" else "qemu-efi-aarch64") + ")")
    return missing


_guest_cache = {}


def ensure_guest():
    """Builds the test guest, or reuses it when its builder has not changed
    since (the builder decides, in well under a second). Returns (guest.qcow2
    path, its sha256, ssh key path or None), or raises RuntimeError with the
    reason."""
    if "guest" in _guest_cache:
        return _guest_cache["guest"]
    image = os.path.join(GUEST_DIR, "guest.qcow2")
    env = dict(os.environ, GUEST_OUT=GUEST_DIR, ARCH=ARCH)
    log(f"test guest ({ARCH}): {GUEST_BUILDER} into {GUEST_DIR}")
    try:
        out = subprocess.run(["bash", GUEST_BUILDER], env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=900)
        failure = None if out.returncode == 0 and os.path.isfile(image) else \
            " | ".join((out.stdout + out.stderr).decode(errors="replace").strip().splitlines()[-8:])
    except subprocess.TimeoutExpired:
        failure = "it did not finish within 900 s"
    if failure:
        if not os.path.isfile(image):
            raise RuntimeError(f"guest build failed: {failure}")
        # A folder this user cannot write (a guest prepared by root, say).
        log(f"could not check the test guest in {GUEST_DIR} ({failure}); using it as it is")
    h = hashlib.sha256()
    with open(image, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    key = os.path.join(GUEST_DIR, "id_ed25519")
    _guest_cache["guest"] = (image, h.hexdigest(), key if os.path.isfile(key) else None)
    return _guest_cache["guest"]


def ensure_cloud_image():
    """Builds the real cloud image as root, or reuses it when its builder has
    not changed since. Returns (cloud.qcow2 path, its sha256, None), or raises
    RuntimeError with the reason."""
    if "cloud" in _guest_cache:
        return _guest_cache["cloud"]
    if ARCH != "amd64":
        raise RuntimeError("the cloud image is built for amd64 only")
    image = os.path.join(CLOUD_IMAGE_DIR, "cloud.qcow2")
    if os.geteuid() == 0:
        log(f"cloud image: {CLOUD_IMAGE_BUILDER} into {CLOUD_IMAGE_DIR}")
        try:
            out = subprocess.run(["bash", CLOUD_IMAGE_BUILDER], env=dict(os.environ, CLOUD_IMAGE_OUT=CLOUD_IMAGE_DIR),
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=1200)
            if out.returncode != 0:
                tail = (out.stdout + out.stderr).decode(errors="replace").strip().splitlines()[-8:]
                raise RuntimeError("cloud image build failed: " + " | ".join(tail))
        except subprocess.TimeoutExpired:
            raise RuntimeError("the cloud image build did not finish within 1200 s")
    elif not os.path.isfile(image + ".sha256"):
        raise RuntimeError(f"no cloud image in {CLOUD_IMAGE_DIR}: build it as root with "
                           "scripts/test/e2e-setup.sh --cloud-image")
    with open(image + ".sha256") as f:
        digest = f.read().split()[0]
    _guest_cache["cloud"] = (image, digest, None)
    return _guest_cache["cloud"]


def skip_reason(prepare=ensure_guest):
    """Why the end-to-end suite cannot run here, or None; `prepare` makes the
    guest disk (ensure_guest or ensure_cloud_image)."""
    if real_qemu() is None:
        return (f"real QEMU not installed ({QEMU} missing) — run scripts/test/e2e-setup.sh"
                + ("" if ARCH == "amd64" else f" --arch {ARCH}"))
    if not os.path.isfile(os.path.join(SHIM_DIR, QEMU)):
        return f"QEMU shim missing under {SHIM_DIR}"
    missing = missing_host_tools()
    if missing:
        return "missing on this host: " + ", ".join(missing)
    try:
        prepare()
    except RuntimeError as e:
        return f"guest unavailable: {e}"
    return None


# --------------------------------------------------------------- curl stand-in

CURL_TEMPLATE = r'''#!/usr/bin/env python3
# Local stand-in for curl: serves the e2e guest disk as the Ubuntu cloud image
# and a SHA256SUMS that lists its digest. Records every call in a log.
import json, shutil, sys
IMAGE = {image!r}
NAME = {name!r}
SUMS = {sums!r}
LOG = {log!r}
args = sys.argv[1:]
with open(LOG, "a") as f:
    f.write(json.dumps(args) + "\n")
url = args[-1] if args else ""
out = args[args.index("-o") + 1] if "-o" in args and args.index("-o") + 1 < len(args) else None
if not url.startswith("https://") or "{release}/" not in url:
    sys.stderr.write("curl: (6) Could not resolve host: %s\n" % url)
    sys.exit(6)
leaf = url.rsplit("/", 1)[1]
if leaf == "SHA256SUMS":
    data = SUMS.encode()
elif leaf == NAME:
    data = None
else:
    sys.stderr.write("curl: (22) The requested URL returned error: 404\n")
    sys.exit(22)
if out is None:
    if data is None:
        with open(IMAGE, "rb") as f:
            shutil.copyfileobj(f, sys.stdout.buffer)
    else:
        sys.stdout.write(data.decode())
elif data is None:
    shutil.copyfile(IMAGE, out)
else:
    with open(out, "wb") as f:
        f.write(data)
'''


def write_curl_standin(bindir, image, digest, call_log):
    stem = IMAGE_NAME[:-len(".img")]
    sums = (f"{'0' * 64} *{stem}.squashfs\n"
            f"{digest} *{IMAGE_NAME}\n"
            f"{'1' * 64} *{stem}.tar.gz\n")
    path = os.path.join(bindir, "curl")
    with open(path, "w") as f:
        f.write(CURL_TEMPLATE.format(image=image, name=IMAGE_NAME, sums=sums, log=call_log,
                                     release=RELEASE_PATH))
    os.chmod(path, 0o755)
    return path


# --------------------------------------------------------------- processes

read_cmdline = testlib.read_cmdline
pids_matching = testlib.pids_matching
is_gone = testlib.is_gone
wait_gone = testlib.wait_gone
kill_pid = testlib.end_process


# --------------------------------------------------------------- guest probes

def ssh_banner(port, connect_timeout=2.0, read_timeout=3.0):
    """The first bytes the guest's SSH server sends, or b"" when nothing
    answers (QEMU's user network accepts before the guest is up)."""
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=connect_timeout)
    except OSError:
        return b""
    try:
        s.settimeout(read_timeout)
        data = b""
        while len(data) < 4:
            chunk = s.recv(64)
            if not chunk:
                break
            data += chunk
        return data
    except OSError:
        return b""
    finally:
        s.close()


def wait_for_banner(port, timeout):
    """Seconds until the guest's sshd sent "SSH-"; raises after timeout."""
    t0 = time.monotonic()
    while time.monotonic() - t0 < timeout:
        if ssh_banner(port).startswith(b"SSH-"):
            return time.monotonic() - t0
        time.sleep(0.5)
    raise AssertionError(f"guest sshd on 127.0.0.1:{port} sent no SSH- banner within {timeout}s")


SSH_LIMIT = 60   # one login with the real ssh client


def ssh_run(port, key, command, timeout=SSH_LIMIT, user="root"):
    """Runs `command` in the guest as `user` through the real ssh client with
    `key`: (exit status, stdout text, stderr text)."""
    try:
        out = subprocess.run(["ssh", "-i", key, "-o", "StrictHostKeyChecking=no",
                              "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes",
                              "-o", "ConnectTimeout=10", "-o", "LogLevel=ERROR", "-p", str(port),
                              f"{user}@127.0.0.1", command],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise AssertionError(f"ssh -p {port} {user}@127.0.0.1 {command} did not finish within {timeout}s")
    return out.returncode, out.stdout.decode(errors="replace"), out.stderr.decode(errors="replace")


class GuestAgent:
    """Minimal client of the guest agent socket (JSON lines)."""

    def __init__(self, path, timeout=20):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buf = b""
        self.timeout = timeout

    def close(self):
        self.sock.close()

    def _line(self, deadline):
        while b"\n" not in self.buf:
            if time.monotonic() > deadline:
                raise TimeoutError("guest agent did not answer")
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("guest agent closed the channel")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line

    def call(self, execute, arguments=None, timeout=None):
        req = {"execute": execute}
        if arguments is not None:
            req["arguments"] = arguments
        self.sock.sendall(json.dumps(req).encode() + b"\n")
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            line = self._line(deadline).strip(b"\xff \r\t")
            try:
                reply = json.loads(line)
            except ValueError:
                continue
            if "error" in reply:
                raise RuntimeError(f"{execute}: {reply['error']}")
            if "return" in reply:
                return reply["return"]

    def sync(self):
        token = int(time.time() * 1000) % 2**31
        deadline = time.monotonic() + self.timeout
        self.sock.sendall(json.dumps({"execute": "guest-sync", "arguments": {"id": token}}).encode() + b"\n")
        while True:
            line = self._line(deadline).strip(b"\xff \r\t")
            try:
                if json.loads(line).get("return") == token:
                    return
            except (ValueError, AttributeError):
                continue

    def run(self, path, args, timeout=20):
        pid = self.call("guest-exec", {"path": path, "arg": args, "capture-output": True})["pid"]
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            st = self.call("guest-exec-status", {"pid": pid})
            if st.get("exited"):
                return base64.b64decode(st.get("out-data", "")).decode(errors="replace")
            time.sleep(0.2)
        raise TimeoutError(f"guest command {path} did not finish within {timeout}s")


def guest_clock_lag(qga_sock, within, timeout=30):
    """How far the guest's clock is from the host's (seconds), read through
    its agent until it is within `within` or the time is up."""
    deadline = time.monotonic() + timeout
    lag = float("inf")
    while time.monotonic() < deadline:
        try:
            agent = GuestAgent(qga_sock, timeout=min(10, max(1, deadline - time.monotonic())))
            try:
                agent.sync()
                before = time.time()
                guest = agent.call("guest-get-time") / 1e9
                lag = abs(guest - (before + time.time()) / 2)
            finally:
                agent.close()
        except (OSError, RuntimeError, ValueError, TypeError):
            pass
        if lag < within:
            return lag
        time.sleep(0.5)
    return lag


def guest_uptime(qga_sock, timeout=30):
    """The guest's /proc/uptime (seconds) read through its agent."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            agent = GuestAgent(qga_sock, timeout=min(10, max(1, deadline - time.monotonic())))
            try:
                agent.sync()
                return float(agent.run("/bin/cat", ["/proc/uptime"]).split()[0])
            finally:
                agent.close()
        except (OSError, RuntimeError, ValueError, IndexError) as e:
            last = e
            time.sleep(0.5)
    raise AssertionError(f"could not read the guest's uptime through {qga_sock}: {last}")


# --------------------------------------------------------------- events

def parse_events(text):
    """The JSON objects among the lines of an event stream (other lines are
    skipped: the helper's stderr shares helper.out)."""
    return testlib.events(text, lenient=True)


def event_words(events):
    """Compact view of an event list: "state:running", "log:...", "error:..."."""
    words = []
    for e in events:
        kind = e.get("event")
        if kind == "state":
            words.append("state:" + str(e.get("state")))
        elif kind == "log":
            words.append("log:" + str(e.get("line")))
        elif kind == "error":
            words.append("error:" + str(e.get("message")))
        else:
            words.append(json.dumps(e))
    return words


class EventReader(testlib.EventReader):
    """Reads the event lines of an attached `run` or of `logs -f` on a
    thread, skipping any line that is not an event; every wait has a limit."""

    def __init__(self, stream):
        super().__init__(stream, lenient=True)


# --------------------------------------------------------------- sandbox

class Sandbox(testlib.Sandbox):
    """The integration tests' sandbox (a private HOME, a bin/ first on PATH)
    with the curl stand-in in bin/, followed on PATH by the QEMU shim when
    KVM cannot run the guest. close() ends every helper and QEMU whose
    command line names this sandbox, by pid, also when the run is
    interrupted."""

    END_LIMIT = PROCESS_END_LIMIT

    def __init__(self, prefix="kelvo-e2e-", prepare=ensure_guest):
        self.image, self.digest, self.key = prepare()
        self.kvm_problem = kvm_problem(real_qemu())
        self.kvm = self.kvm_problem is None
        super().__init__(prefix=prefix, program=BIN, path=[] if self.kvm else [SHIM_DIR])
        self.curl_log = os.path.join(self.root, "curl-calls.log")
        write_curl_standin(self.bin, self.image, self.digest, self.curl_log)
        # Interrupted runs end what they started too (SIGTERM as from ctest
        # is turned into an interrupt, after which exit handlers run).
        atexit.register(self.close)
        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _interrupt)

    def env(self, extra=None, path_first=None, attached=False):
        if attached:
            extra = dict(extra or {}, KELVO_HELPER_ATTACHED="1")
        return super().env(extra, path_first)

    def kelvo(self, args, timeout=COMMAND_LIMIT, stdin=b""):
        """Runs the program to completion: (status, stdout text, stderr text, seconds)."""
        t0 = time.monotonic()
        try:
            status, out, err = self.run(args, stdin=stdin, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            raise AssertionError(f"kelvo-vmhelper {' '.join(args)} did not finish within {timeout}s; "
                                 f"stdout so far: {(e.stdout or b'').decode(errors='replace')!r}")
        took = time.monotonic() - t0
        return status, out.decode(errors="replace"), err.decode(errors="replace"), took

    def spawn(self, args, attached=False, **kwargs):
        """Starts the program in the background (standard input a pipe unless
        given); it is ended on close."""
        kwargs.setdefault("stdin", subprocess.PIPE)
        return self.start(args, env=self.env(attached=attached), **kwargs)

    def login_key(self):
        """A fresh ed25519 key pair in this sandbox (made once): (private key
        path, public key line)."""
        key = os.path.join(self.root, "id_ed25519")
        if not os.path.isfile(key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "kelvo-e2e", "-f", key],
                           stdin=subprocess.DEVNULL, capture_output=True, check=True, timeout=30)
        with open(key + ".pub") as f:
            return key, f.read().strip()

    def write_vm(self, name, port, firmware_path=None, disk_gib=0, memory_mib=512, hostname=None,
                 authorized_keys=(), save_name="state.save", cpu_count=1, user_data=None):
        """A fresh VM directory laid out as the app does it; returns Vm. The
        seed's meta-data names the guest `hostname` (default: the VM's name);
        its user-data (unless given whole as `user_data`) lists
        `authorized_keys` under ssh_authorized_keys."""
        hostname = hostname or name
        vm_id = str(uuid.uuid4())
        d = self.vm_dir(vm_id)
        os.makedirs(d)
        config = testlib.vm_config(d, save_path=os.path.join(d, save_name),
                                   mac_address="52:54:00:e2:e0:%02x" % (port % 256), cpu_count=cpu_count,
                                   memory_mib=memory_mib, disk_gib=disk_gib, ssh_host_port=port,
                                   vm_name=name)
        if firmware_path is not None:
            config["firmware_path"] = firmware_path
        with open(os.path.join(d, "helper.json"), "w") as f:
            json.dump(config, f, indent=2)
        with open(os.path.join(d, "user-data"), "w") as f:
            f.write(user_data or "#cloud-config\nhostname: %s\n" % hostname)
            if authorized_keys and user_data is None:
                f.write("ssh_authorized_keys:\n" + "".join(f"  - {k}\n" for k in authorized_keys))
        with open(os.path.join(d, "meta-data"), "w") as f:
            f.write("instance-id: %s\nlocal-hostname: %s\n" % (vm_id, hostname))
        return Vm(vm_id, name, d, port, config)

    def remove(self):
        if os.environ.get("KELVO_E2E_KEEP"):
            log(f"kept {self.root}")
        else:
            super().remove()


def _interrupt(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


class Vm:
    def __init__(self, vm_id, name, d, port, config):
        self.id, self.name, self.dir, self.port, self.config = vm_id, name, d, port, config

    def file(self, name):
        return os.path.join(self.dir, name)

    @property
    def snapshot(self):
        return self.config["save_path"]

    @property
    def disk(self):
        return self.config["disk_path"]

    def helper_out(self):
        return read_text(self.file("helper.out"))

    def console(self):
        return read_text(self.config["console_log_path"])

    def events(self):
        return parse_events(self.helper_out())

    def qemu_pids(self):
        return pids_matching("qemu-system", self.disk)

    def helper_pids(self):
        return [p for p in pids_matching(self.file("helper.json"))
                if b"\0run\0" in b"\0" + (read_cmdline(p) or b"")]


def read_text(path):
    """A file's text ("" when it cannot be read)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


free_port = testlib.free_port


def wait_until(predicate, timeout, what, interval=0.2):
    """Polls predicate (at a pace for a real guest) until it is true."""
    return testlib.wait_until(predicate, timeout, interval=interval, what=what)


# --------------------------------------------------------------- test cases

import unittest  # noqa: E402


def step(method):
    """Marks a numbered step of a lifecycle: when it fails, the later steps
    of its class are skipped (they build on its result). subTest failures do
    not count: they are findings, and the lifecycle goes on."""
    def wrapper(self, *args, **kwargs):
        try:
            return method(self, *args, **kwargs)
        except unittest.SkipTest:
            raise
        except BaseException:
            type(self).failed_step = method.__name__
            raise
    wrapper.__name__ = method.__name__
    wrapper.__doc__ = method.__doc__
    return wrapper


class LifecycleCase(unittest.TestCase):
    """Ordered steps (test_NN_*) sharing one sandbox."""

    sandbox = None
    failed_step = None
    timings = None
    prepare = staticmethod(ensure_guest)   # makes the guest disk

    @classmethod
    def setUpClass(cls):
        reason = skip_reason(cls.prepare)
        if reason:
            raise unittest.SkipTest(reason)
        cls.timings = {}
        cls.sandbox = Sandbox(prepare=cls.prepare)
        log(f"sandbox {cls.sandbox.root}; guest {cls.sandbox.image}; "
            f"{'KVM' if cls.sandbox.kvm else 'software emulation through the QEMU shim'}"
            f"{'' if cls.sandbox.kvm else f' ({cls.sandbox.kvm_problem})'}")

    @classmethod
    def tearDownClass(cls):
        if cls.sandbox is not None:
            cls.sandbox.close()
            cls.sandbox = None
        if cls.timings:
            log("timings: " + ", ".join(f"{k} {v:.1f}s" for k, v in cls.timings.items()))

    def setUp(self):
        if type(self).failed_step:
            self.skipTest(f"an earlier step failed ({type(self).failed_step})")

    def ok(self, args, timeout=COMMAND_LIMIT, stdin=b""):
        """Runs the program, which must succeed: (stdout text, seconds)."""
        status, out, err, took = self.sandbox.kelvo(args, timeout=timeout, stdin=stdin)
        self.assertEqual(status, 0, f"kelvo-vmhelper {' '.join(args)} failed\nstdout:\n{out}\nstderr:\n{err}")
        return out, took

    def timed(self, name, seconds):
        type(self).timings[name] = seconds
        log(f"{name}: {seconds:.1f}s")
