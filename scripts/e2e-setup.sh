#!/usr/bin/env bash
# Prepares a Debian 12 host for the end-to-end tests and the demo: installs
# real QEMU, qemu-img, the OVMF firmware, an ISO builder for the cloud-init
# seed and the guest build's tools (only what is missing), then builds the
# small test guest into a cache folder (reused when it is already there).
#
# usage: scripts/e2e-setup.sh [--rebuild]
#   KELVO_GUEST_DIR   where the guest is built and its downloads cached
#                     (default /var/tmp/kelvo-test-guest)
#   KELVO_SHARED_DIR  the shared folder holding e2e/build-guest.sh
#                     (default: ../shared beside this repository)
# Prints the path of the built guest disk last.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
shared=${KELVO_SHARED_DIR:-$repo/../shared}
guest_dir=${KELVO_GUEST_DIR:-/var/tmp/kelvo-test-guest}
rebuild=no
[ "${1:-}" = "--rebuild" ] && rebuild=yes

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
updated=no
apt_update() {
    if [ $updated = no ]; then
        $sudo apt-get update
        updated=yes
    fi
}

# genisoimage builds the seed ISO when cloud-localds is not there.
packages=(qemu-system-x86 qemu-utils ovmf binutils mtools genisoimage)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "e2e-setup: installing ${missing[*]}"
    apt_update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

build_script=$shared/e2e/build-guest.sh
if [ ! -f "$build_script" ]; then
    echo "e2e-setup: no guest build script at $build_script (set KELVO_SHARED_DIR)" >&2
    exit 1
fi
if [ $rebuild = yes ] || [ ! -f "$guest_dir/guest.qcow2" ]; then
    # The build downloads Debian packages with apt-get download.
    apt-cache show linux-image-amd64 >/dev/null 2>&1 || apt_update
    echo "e2e-setup: building the test guest into $guest_dir"
    GUEST_OUT=$guest_dir bash "$build_script"
else
    echo "e2e-setup: reusing the test guest in $guest_dir"
fi
echo "$guest_dir/guest.qcow2"
