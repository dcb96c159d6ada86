"""Helpers for the provision integration tests: a bin directory holding
exactly the tools a test wants, a served checksum list and image for the fake
curl, and readers for the fakes' call logs."""

import hashlib
import json
import os
import shutil
import sys

import kelvo_testlib
from kelvo_testlib import FAKES, Sandbox

PROVISION_FAKES = os.path.join(FAKES, "provision")
FAKE_TOOLS = ("curl", "qemu-img", "cloud-localds", "genisoimage")

ARCH_WORD = kelvo_testlib.ARCH_WORD
IMAGE_NAME = f"ubuntu-25.10-server-cloudimg-{ARCH_WORD}.img"
BASE_URL = "https://cloud-images.ubuntu.com/releases/questing/release"
SUMS_URL = BASE_URL + "/SHA256SUMS"
IMAGE_URL = BASE_URL + "/" + IMAGE_NAME
IMAGE_BODY = b"fake cloud image\n" * 4096
MISSING_TAIL = " or meta-data (backend must upload them before provision)"

# Real programs found before PATH is narrowed to the test's own bin dir.
REAL_SHA256SUM = shutil.which("sha256sum")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def log_line(line):
    return json.dumps({"event": "log", "line": line}, separators=(",", ":"), ensure_ascii=False)


def error_line(message):
    return json.dumps({"event": "error", "message": message}, separators=(",", ":"),
                      ensure_ascii=False)


ENSURING = log_line("provisioning: ensuring base cloud image")
DOWNLOADING = log_line(f"downloading {IMAGE_NAME}")
CREATING_DISK = log_line("provisioning: creating disk")
BUILDING_SEED = log_line("provisioning: building cloud-init seed")
COMPLETE = log_line("provisioning: complete")


def default_sums(digest=None):
    """A checksum list in the server's layout with the image's real digest."""
    digest = digest or sha256(IMAGE_BODY)
    return (f"{sha256(b'other')} *ubuntu-25.10-server-cloudimg-riscv64.img\n"
            f"{digest} *{IMAGE_NAME}\n"
            f"{sha256(b'tar')} *ubuntu-25.10-server-cloudimg-{ARCH_WORD}-root.tar.xz\n")


class ProvisionBed:
    """One sandbox prepared for provision runs. PATH is only self.tools, which
    holds python3 and sha256sum plus the fakes named in tools."""

    def __init__(self, test, tools=FAKE_TOOLS, sums=None, image=IMAGE_BODY):
        self.sandbox = Sandbox()
        test.addCleanup(self.sandbox.close)
        self.tools = self.sandbox.path("tools")
        os.makedirs(self.tools)
        os.symlink(sys.executable, os.path.join(self.tools, "python3"))
        os.symlink(REAL_SHA256SUM, os.path.join(self.tools, "sha256sum"))
        for tool in tools:
            self.add_tool(tool)
        self.served = self.sandbox.path("served")
        os.makedirs(self.served)
        self.serve(sums if sums is not None else default_sums(), image)
        self.curl_log = self.sandbox.path("curl.log")
        self.tool_log = self.sandbox.path("tools.log")
        self.images = os.path.join(self.sandbox.home, ".kelvo", "images")
        self.cached = os.path.join(self.images, IMAGE_NAME)
        self.tmp = self.cached + ".tmp"
        # No host firmware leaks into a test unless it asks for it.
        self.no_firmware = self.sandbox.path("no-firmware", "OVMF_CODE.fd")

    def add_tool(self, name):
        os.symlink(os.path.join(PROVISION_FAKES, name), os.path.join(self.tools, name))

    def add_script(self, name, text):
        """A Python program on PATH under name (text after the shebang)."""
        path = os.path.join(self.tools, name)
        if os.path.lexists(path):
            os.unlink(path)
        with open(path, "w") as f:
            f.write(f"#!{sys.executable}\n{text}")
        os.chmod(path, 0o755)

    def serve(self, sums, image):
        with open(os.path.join(self.served, "SHA256SUMS"), "w") as f:
            f.write(sums)
        if image is not None:
            with open(os.path.join(self.served, IMAGE_NAME), "wb") as f:
                f.write(image)

    def cache_image(self, body):
        os.makedirs(self.images, exist_ok=True)
        with open(self.cached, "wb") as f:
            f.write(body)

    def env(self, **extra):
        values = {"PATH": self.tools, "FAKE_CURL_DIR": self.served,
                  "FAKE_CURL_LOG": self.curl_log, "FAKE_TOOL_LOG": self.tool_log}
        values.update(extra)
        return self.sandbox.env(extra=values)

    def write_vm(self, vm_id="vm1", inputs=("user-data", "meta-data"), **overrides):
        """A VM directory with helper.json and the uploaded seed inputs."""
        overrides.setdefault("firmware_path", self.no_firmware)
        directory, config_path, config = self.sandbox.write_vm(vm_id, **overrides)
        for name in inputs:
            with open(os.path.join(directory, name), "w") as f:
                f.write(f"#{name}\n")
        return directory, config_path, config

    def provision(self, config_path, env=None, cwd=None):
        """Runs provision; returns (status, event lines as text, stderr text)."""
        status, out, err = self.sandbox.run(["provision", "--config", config_path],
                                            env=env or self.env(), cwd=cwd)
        return status, out.decode().splitlines(), err.decode()

    def start_provision(self, config_path, env=None):
        return self.sandbox.start(["provision", "--config", config_path], env=env or self.env())

    def curl_calls(self):
        return read_log(self.curl_log)

    def tool_calls(self, tool=None):
        return [c["argv"] for c in read_log(self.tool_log) if tool is None or c["tool"] == tool]


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()
