#!/usr/bin/env bash
# The program's main job on a demo VM, on a fresh machine without internet:
# builds the small test guest (scripts/e2e-setup.sh), lays out a VM directory
# under a private temporary HOME the way the Kelvo app does, provisions it
# (a local curl stand-in serves the test guest as the Ubuntu cloud image),
# starts it under real QEMU, shows `list` and `status`, and stops it.
# Where KVM cannot run the guest, QEMU runs in software emulation through
# the QEMU shim of the end-to-end tests (tests/e2e/qemu-shim), and the demo
# says so. Everything it started (helper, QEMU) and its temporary HOME are
# removed on exit.
#
# usage: scripts/demo.sh [path/to/kelvo-vmhelper]   (default build/kelvo-vmhelper)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
bin=${1:-build/kelvo-vmhelper}
[ -x "$bin" ] || { echo "demo: no program at $bin — build it first (scripts/build.sh)" >&2; exit 1; }
bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")
shim=$repo/tests/e2e/qemu-shim

say() { printf '\n== %s\n' "$*"; }
show() { printf '$ kelvo-vmhelper %s\n' "$*"; "$bin" "$@"; }

say "preparing QEMU, firmware and the test guest"
guest=$(scripts/e2e-setup.sh | tail -n1)
[ -f "$guest" ] || { echo "demo: the test guest was not built" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-demo.XXXXXX")
cleanup() {
    local status=$? p cmd args
    trap - EXIT INT TERM
    # End, by pid, every process whose command line names the demo folder:
    # the detached helper first, then its QEMU.
    for pass in helper qemu; do
        for p in /proc/[0-9]*; do
            p=${p#/proc/}
            [ "$p" = $$ ] && continue
            mapfile -d '' args 2>/dev/null < "/proc/$p/cmdline" || continue
            cmd=" ${args[*]} "
            case "$cmd" in
                *"$tmp"*)
                    if [ $pass = helper ] && [[ "$cmd" == *" run --config "* ]]; then kill -9 "$p" 2>/dev/null || true; fi
                    if [ $pass = qemu ] && [[ "$cmd" == *qemu-system* ]]; then kill -9 "$p" 2>/dev/null || true; fi ;;
            esac
        done
    done
    sleep 0.3
    rm -rf "$tmp"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

export HOME=$tmp/home
mkdir -p "$HOME" "$tmp/bin"
# The curl stand-in and the KVM check come from the end-to-end test library.
kvm=$(python3 - "$tmp/bin" "$guest" "$tmp/curl-calls.log" <<'EOF'
import hashlib, sys
sys.path.insert(0, "tests/e2e")
import e2e_lib
bindir, image, log = sys.argv[1:4]
h = hashlib.sha256()
with open(image, "rb") as f:
    for chunk in iter(lambda: f.read(1 << 20), b""):
        h.update(chunk)
e2e_lib.write_curl_standin(bindir, image, h.hexdigest(), log)
print(1 if e2e_lib.kvm_usable(e2e_lib.real_qemu()) else 0)
EOF
)
if [ "$kvm" = 1 ]; then
    export PATH=$tmp/bin:$PATH
    echo "demo: KVM is usable here — QEMU runs the guest with KVM"
else
    [ -x "$shim/qemu-system-x86_64" ] || { echo "demo: no QEMU shim at $shim" >&2; exit 1; }
    export PATH=$tmp/bin:$shim:$PATH
    echo "demo: KVM cannot run the guest on this host — using the QEMU shim ($shim):"
    echo "      real QEMU in software emulation (TCG) instead of KVM, so the boot is slower"
fi
echo "demo: no internet needed — a local curl stand-in serves the test guest as the Ubuntu cloud image"
unset KELVO_HELPER_ATTACHED

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
id=$(python3 -c 'import uuid; print(uuid.uuid4())')
vm=$HOME/.kelvo/vms/$id
mkdir -p "$vm"
cat > "$vm/helper.json" <<EOF
{
  "disk_path": "$vm/disk.qcow2",
  "seed_path": "$vm/seed.iso",
  "efi_store_path": "$vm/efi-vars.fd",
  "machine_identifier_path": "$vm/machine-id",
  "console_log_path": "$vm/console.log",
  "save_path": "$vm/state.save",
  "mac_address": "52:54:00:de:30:01",
  "cpu_count": 1,
  "memory_mib": 512,
  "disk_gib": 0,
  "isolated": false,
  "ssh_host_port": $port,
  "vm_name": "demo"
}
EOF
printf '#cloud-config\nhostname: demo\n' > "$vm/user-data"
printf 'instance-id: %s\nlocal-hostname: demo\n' "$id" > "$vm/meta-data"

say "the app's side: helper.json, user-data and meta-data written to $vm"
say "provision (fetch and verify the image, build disk and cloud-init seed)"
show provision --config "$vm/helper.json"
say "validate"
show validate --config "$vm/helper.json" || echo "(validate reports what this host lacks; the demo goes on)"
say "start"
show start demo
say "list"
show list
say "status"
show status demo
say "the guest's serial console (last lines)"
show logs demo --console -n 5
say "stop"
show stop demo
say "list"
show list
echo
echo "demo: done — removing the demo VM and its temporary HOME ($tmp)"
