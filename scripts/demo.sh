#!/usr/bin/env bash
# The program's main job on a demo VM: builds a real Debian 12 cloud image
# from Debian packages (scripts/test/e2e-setup.sh --cloud-image, as root; kept
# for the next run), lays out a VM directory under a private HOME the way the
# Kelvo app does, provisions it (a local curl stand-in serves the built image
# as the Ubuntu cloud image, with its checksum), starts it under real QEMU
# (cloud-init applies the seed: hostname, a user with the demo's SSH key and
# sudo), shows `list` and `status`, logs in over SSH as that user, and leaves
# the guest running, printing how to log in, stop it and delete it.
# Where KVM cannot run the guest (a probe boots the firmware under KVM and
# wants its console output), QEMU runs in software emulation through the QEMU
# shim of the end-to-end tests (tests/e2e/qemu-shim), and the demo says why.
# A step that fails ends the demo with a non-zero status and names the step,
# and removes everything it started (helper, QEMU) and its HOME; the closing
# lines come only when every step worked.
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
fail() { echo "demo: FAILED at '$1': $2" >&2; exit 1; }
# shown STEP ARGS...: runs the program as show does, fails the demo at STEP
# when it fails, and keeps its output in $out.
shown() {
    local step=$1
    shift
    printf '$ kelvo-vmhelper %s\n' "$*"
    local status=0
    out=$("$bin" "$@" 2>&1) || status=$?
    printf '%s\n' "$out"
    [ $status -eq 0 ] || fail "$step" "kelvo-vmhelper $* exited with $status"
}

say "preparing QEMU, firmware and the Debian cloud image (built once, about 3 minutes)"
guest=$(scripts/test/e2e-setup.sh --cloud-image | tail -n1)
[ -f "$guest" ] && [ -f "$guest.sha256" ] || { echo "demo: the cloud image was not built" >&2; exit 1; }
user=kelvo

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
# The curl stand-in and the KVM check come from the end-to-end test library;
# the check prints nothing when KVM runs the guest's firmware, else why not.
kvm_problem=$(python3 - "$tmp/bin" "$guest" "$(cut -d' ' -f1 "$guest.sha256")" "$tmp/curl-calls.log" <<'EOF'
import sys
sys.path.insert(0, "tests/e2e")
import e2e_lib
bindir, image, digest, log = sys.argv[1:5]
e2e_lib.write_curl_standin(bindir, image, digest, log)
print(e2e_lib.kvm_problem(e2e_lib.real_qemu()) or "")
EOF
) || fail "KVM check" "the check itself failed"
if [ -z "$kvm_problem" ]; then
    export PATH=$tmp/bin:$PATH
    echo "demo: KVM runs the guest's firmware here — QEMU runs the guest with KVM"
else
    [ -x "$shim/qemu-system-x86_64" ] || fail "KVM check" "no QEMU shim at $shim"
    export PATH=$tmp/bin:$shim:$PATH
    echo "demo: $kvm_problem"
    echo "demo: using the QEMU shim ($shim):"
    echo "      real QEMU in software emulation (TCG) instead of KVM, so the boot is slower"
fi
echo "demo: a local curl stand-in serves the built Debian image as the Ubuntu cloud image"
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
  "cpu_count": 2,
  "memory_mib": 1024,
  "disk_gib": 4,
  "isolated": false,
  "ssh_host_port": $port,
  "vm_name": "demo"
}
EOF
ssh-keygen -q -t ed25519 -N "" -C kelvo-demo -f "$tmp/id_ed25519" </dev/null
cat > "$vm/user-data" <<EOF
#cloud-config
hostname: demo
users:
  - name: $user
    shell: /bin/bash
    sudo: "ALL=(ALL) NOPASSWD:ALL"
    ssh_authorized_keys:
      - $(cat "$tmp/id_ed25519.pub")
EOF
printf 'instance-id: %s\nlocal-hostname: demo\n' "$id" > "$vm/meta-data"

say "the app's side: helper.json, user-data and meta-data written to $vm"
say "provision (fetch and verify the image, build disk and cloud-init seed)"
shown provision provision --config "$vm/helper.json"
say "validate"
show validate --config "$vm/helper.json" || echo "(validate reports what this host lacks; the demo goes on)"
say "start"
shown start start demo
case $out in
*"'demo' is running — guest sshd on 127.0.0.1:$port"*) ;;
*) fail start "the guest did not reach running" ;;
esac
say "list"
shown list list
say "status"
shown status status demo
case $out in
*"state:     running"*) ;;
*) fail status "the VM is not running" ;;
esac
say "log in over SSH as the seed's user, with the seed's key"
ssh_options=(-i "$tmp/id_ed25519" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null
             -o LogLevel=ERROR -p "$port")
printf '$ ssh -p %s %s@127.0.0.1 hostname\n' "$port" "$user"
# sshd answers as soon as cloud-init has made the host keys; the user follows
# within seconds.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    status=0
    login=$(timeout 60 ssh "${ssh_options[@]}" -o BatchMode=yes -o ConnectTimeout=10 \
            "$user@127.0.0.1" hostname </dev/null 2>&1) || status=$?
    [ $status -ne 0 ] || break
    sleep 3
done
printf '%s\n' "$login"
[ $status -eq 0 ] || fail login "ssh exited with $status"
[ "$login" = demo ] || fail login "the guest's hostname is '$login', not demo"
say "the guest's serial console (last lines)"
shown "console log" logs demo --console -n 5

# Every step worked: the guest stays up, and so do its helper and HOME.
trap - EXIT INT TERM
program="HOME=$HOME $bin"
cat <<EOF

demo: done — a real Debian 12 guest is running.
  log in:   ssh -i $tmp/id_ed25519 -p $port $user@127.0.0.1
  stop it:  $program stop demo
  delete:   $program delete demo --yes && rm -rf $tmp
EOF
