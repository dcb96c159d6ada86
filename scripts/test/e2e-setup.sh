#!/usr/bin/env bash
# Prepares a Debian 12 host for the end-to-end tests and the demo: installs
# real QEMU, qemu-img, the UEFI firmware, an ISO builder for the cloud-init
# seed, the SSH client and the guest build's tools (only what is missing),
# then builds the small test guest with tests/e2e/guest/build-guest.sh into a
# cache folder (reused while the builder is unchanged). With --cloud-image it
# builds the real Debian cloud image instead
# (tests/e2e/cloud-image/build-cloud-image.sh; x86-64, as root).
#
# usage: scripts/test/e2e-setup.sh [--arch amd64|arm64] [--cloud-image] [--rebuild]
#   --arch             the guest's architecture (default: $ARCH, else amd64)
#   KELVO_CLOUD_IMAGE_DIR  where the cloud image is built and its downloads
#                      cached (default /var/tmp/kelvo-cloud-image)
#   KELVO_GUEST_DIR    where the amd64 guest is built and its downloads cached
#                      (default /var/tmp/kelvo-test-guest)
#   KELVO_GUEST_DIR_ARM64  the same for arm64 (default /var/tmp/kelvo-test-guest-arm64)
# Prints the path of the built guest disk last.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$(pwd)
arch=${ARCH:-amd64}
rebuild=()
cloud_image=no
while [ $# -gt 0 ]; do
    case $1 in
    --arch) [ $# -ge 2 ] || { echo "e2e-setup: --arch needs a value" >&2; exit 2; }
            arch=$2; shift ;;
    --arch=*) arch=${1#--arch=} ;;
    --rebuild) rebuild=(--rebuild) ;;
    --cloud-image) cloud_image=yes ;;
    *) echo "usage: scripts/test/e2e-setup.sh [--arch amd64|arm64] [--cloud-image] [--rebuild]" >&2; exit 2 ;;
    esac
    shift
done
case $arch in
amd64)
    guest_dir=${KELVO_GUEST_DIR:-/var/tmp/kelvo-test-guest}
    # genisoimage builds the seed ISO when cloud-localds is not there;
    # openssh-client (ssh, ssh-keygen) logs in with the seed's key.
    packages=(qemu-system-x86 qemu-utils ovmf mtools genisoimage openssh-client) ;;
arm64)
    guest_dir=${KELVO_GUEST_DIR_ARM64:-/var/tmp/kelvo-test-guest-arm64}
    packages=(qemu-system-arm qemu-utils qemu-efi-aarch64 mtools genisoimage openssh-client) ;;
*)
    echo "e2e-setup: the architecture is amd64 or arm64, not '$arch'" >&2
    exit 2 ;;
esac
if [ $cloud_image = yes ]; then
    [ "$arch" = amd64 ] || { echo "e2e-setup: the cloud image is built for amd64 only" >&2; exit 2; }
    # mmdebstrap makes the root file system, sfdisk (fdisk) and mkfs.ext4
    # (e2fsprogs) the disk.
    packages+=(mmdebstrap fdisk e2fsprogs)
fi

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

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "e2e-setup: installing ${missing[*]}"
    apt_update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The build downloads Debian packages with apt-get download.
apt-cache show "linux-image-$(dpkg --print-architecture)" >/dev/null 2>&1 || apt_update
if [ $cloud_image = yes ]; then
    cloud_dir=${KELVO_CLOUD_IMAGE_DIR:-/var/tmp/kelvo-cloud-image}
    echo "e2e-setup: cloud image in $cloud_dir"
    $sudo env "CLOUD_IMAGE_OUT=$cloud_dir" bash "$repo/tests/e2e/cloud-image/build-cloud-image.sh" "${rebuild[@]}" >/dev/null
    echo "$cloud_dir/cloud.qcow2"
    exit 0
fi
echo "e2e-setup: test guest ($arch) in $guest_dir"
# An ARM64 guest on another host: dpkg learns arm64 for the download only,
# which needs root.
builder=(env "ARCH=$arch" "GUEST_OUT=$guest_dir" bash "$repo/tests/e2e/guest/build-guest.sh" "${rebuild[@]}")
if [ "$arch" != "$(dpkg --print-architecture)" ] && [ -n "$sudo" ]; then
    builder=("$sudo" "${builder[@]}")
fi
"${builder[@]}" >/dev/null
echo "$guest_dir/guest.qcow2"
