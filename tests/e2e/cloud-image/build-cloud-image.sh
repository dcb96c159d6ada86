#!/usr/bin/env bash
# Builds a real cloud image from Debian 12 packages, for the tests and the
# demo that need more than the small test guest: systemd, udev and dbus,
# cloud-init reading the NoCloud seed (then None), growpart, OpenSSH whose
# host keys are made on first boot, netplan rendering to systemd-networkd,
# isc-dhcp-client, qemu-guest-agent started by udev, sudo. cloud-init's
# defaults are those of Ubuntu's images: a default user "ubuntu" with
# passwordless sudo, locale C.UTF-8.
#
# usage: [CLOUD_IMAGE_OUT=dir] tests/e2e/cloud-image/build-cloud-image.sh [--rebuild]
#   CLOUD_IMAGE_OUT  output folder (default /var/tmp/kelvo-cloud-image); the
#                    downloaded .debs are kept in CLOUD_IMAGE_OUT/debs
#   --rebuild        build again even when the image is up to date
# Needs root (mmdebstrap's root mode) and mmdebstrap, fdisk, mtools,
# e2fsprogs and qemu-utils. Nothing stays mounted: mmdebstrap runs in a
# private mount namespace; no loop device is used. Progress goes to stderr;
# the path of cloud.qcow2 is printed on stdout, and cloud.qcow2.sha256 lies
# beside it. The image is rebuilt only when this script changes.
#
# The disk (2 GiB virtual, a compressed qcow2): GPT with the EFI System
# Partition as partition 15 (FAT, GRUB's x86_64-efi image as the
# removable-media loader \EFI\BOOT\BOOTX64.EFI) and the ext4 root
# "cloudimg-rootfs" as partition 1, last on the disk so growpart can grow it.
# Serial console on ttyS0.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${CLOUD_IMAGE_OUT:-/var/tmp/kelvo-cloud-image}
rebuild=""
for arg in "$@"; do
    case $arg in
    --rebuild) rebuild=1 ;;
    *) echo "build-cloud-image: unknown argument $arg" >&2; exit 2 ;;
    esac
done
disk_mib=2048
esp_mib=64
suite=bookworm

started=$SECONDS
say() { printf 'build-cloud-image [%4d s] %s\n' $((SECONDS - started)) "$*" >&2; }
die() { echo "build-cloud-image: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "needs root (mmdebstrap's root mode)"
for tool in mmdebstrap sfdisk mformat mmd mcopy mkfs.ext4 qemu-img dpkg-deb apt-get unshare flock sha256sum; do
    command -v "$tool" >/dev/null || die "this host lacks $tool"
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
exec 9>"$out/.lock"
flock -w 1800 9 || die "another build held $out/.lock for 30 minutes"

fingerprint=$(sha256sum "$here/build-cloud-image.sh" | cut -d' ' -f1)
image=$out/cloud.qcow2
if [ -z "$rebuild" ] && [ -f "$image" ] && [ -f "$image.sha256" ] &&
        [ "$(cat "$out/fingerprint" 2>/dev/null)" = "$fingerprint" ]; then
    say "up to date: $image"
    echo "$image"
    exit 0
fi
rm -f "$out/fingerprint"

# The Debian archive this host's apt uses.
mirror_uris() {
    sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
    sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\).*/\2/p' /etc/apt/sources.list 2>/dev/null
    true
}
uris=$(mirror_uris)
mirror=${MIRROR:-$(grep -v -- -security <<<"$uris" | grep -m1 '/debian/\{0,1\}$' || true)}
[ -n "$mirror" ] || die "no Debian archive in this host's apt sources; set MIRROR"
security=$(grep -m1 -- -security <<<"$uris" || true)
security=${security:-${mirror%/debian*}/debian-security}

work=$out/work
debs=$out/debs
rm -rf "$work"
mkdir -p "$work" "$debs"
trap 'rm -rf "$work"' EXIT
root_uuid=$(cat /proc/sys/kernel/random/uuid)
esp_serial=$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')
esp_uuid=$(echo "${esp_serial:0:4}-${esp_serial:4:4}" | tr a-f A-F)

# GRUB's EFI image maker, from the unpacked packages (the host need not have
# GRUB installed).
grub=$work/grub
mkdir -p "$grub"
say "fetching grub-common and grub-efi-amd64-bin"
(cd "$grub" && apt-get download -q=2 -o APT::Sandbox::User=root grub-common grub-efi-amd64-bin) ||
    die "apt-get download of GRUB failed (apt-get update first?)"
for deb in "$grub"/*.deb; do dpkg-deb -x "$deb" "$grub/tree"; done

# Settings applied to the installed tree ($1): file systems by label, GRUB's
# menu, cloud-init's defaults, networkd, and no per-instance identity.
cat >"$work/customize" <<EOF
#!/bin/sh
set -eu
r=\$1
cat >"\$r/etc/fstab" <<'FSTAB'
LABEL=cloudimg-rootfs	/	ext4	discard,errors=remount-ro	0 1
UUID=$esp_uuid	/boot/efi	vfat	umask=0077	0 1
FSTAB
mkdir -p "\$r/boot/efi" "\$r/boot/grub"
cat >"\$r/boot/grub/grub.cfg" <<'GRUB'
set default=0
set timeout=0
menuentry 'Debian GNU/Linux 12' {
	search --no-floppy --fs-uuid --set=root $root_uuid
	linux /vmlinuz root=UUID=$root_uuid ro console=tty1 console=ttyS0
	initrd /initrd.img
}
GRUB
EOF
cat >>"$work/customize" <<'EOF'
echo cloudimg >"$r/etc/hostname"
printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$r/etc/hosts"
cat >"$r/etc/cloud/cloud.cfg.d/90-kelvo.cfg" <<'CLOUD'
datasource_list: [NoCloud, None]
system_info:
  default_user:
    name: ubuntu
    gecos: Ubuntu
    lock_passwd: true
    groups: [adm, cdrom, dip, sudo]
    sudo: ["ALL=(ALL) NOPASSWD:ALL"]
    shell: /bin/bash
  network:
    renderers: [netplan, networkd, eni]
    activators: [netplan, networkd, eni]
grub_dpkg:
  enabled: false
# Debian's locale-gen makes no en_US.UTF-8, so that default would fail.
locale: C.UTF-8
CLOUD
echo LANG=C.UTF-8 >"$r/etc/default/locale"
rm -f "$r"/etc/netplan/*.yaml
chroot "$r" systemctl enable systemd-networkd.service systemd-resolved.service >/dev/null 2>&1
chroot "$r" systemctl mask systemd-networkd-wait-online.service >/dev/null 2>&1
chroot "$r" systemctl disable apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer \
    dpkg-db-backup.timer >/dev/null 2>&1 || true
ln -sf ../run/systemd/resolve/stub-resolv.conf "$r/etc/resolv.conf"
# Each instance makes its own host keys and machine identifier.
rm -f "$r"/etc/ssh/ssh_host_*
: >"$r/etc/machine-id"
rm -f "$r/var/lib/dbus/machine-id"
rm -rf "$r"/var/lib/apt/lists/* "$r"/var/cache/apt/*.bin "$r"/var/cache/apt/archives/*.deb
rm -rf "$r"/tmp/* "$r"/var/tmp/* "$r"/var/log/*.log
EOF
chmod +x "$work/customize"

packages=(linux-image-cloud-amd64 systemd systemd-sysv udev dbus systemd-resolved
          cloud-init cloud-guest-utils openssh-server qemu-guest-agent netplan.io
          isc-dhcp-client iproute2 sudo e2fsprogs procps)
say "mmdebstrap $suite with ${#packages[@]} packages and what they need"
tree=$work/root
unshare -m mmdebstrap --mode=root --variant=minbase "${CLOUD_IMAGE_VERBOSITY:---quiet}" \
    --include="$(IFS=,; echo "${packages[*]}")" \
    --aptopt='Acquire::Languages "none"' \
    --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
    --setup-hook="sync-in '$debs' /var/cache/apt/archives/" \
    --essential-hook='mkdir -p "$1"/etc/initramfs-tools/conf.d && echo COMPRESS=zstd >"$1"/etc/initramfs-tools/conf.d/compress' \
    --customize-hook="sync-out /var/cache/apt/archives '$debs'" \
    --customize-hook="$work/customize" \
    "$suite" "$tree" \
    "deb $mirror $suite main" "deb $mirror $suite-updates main" "deb $security $suite-security main"
rm -rf "$debs/partial" "$debs/lock"
[ -e "$tree/vmlinuz" ] && [ -e "$tree/initrd.img" ] || die "the tree has no /vmlinuz or /initrd.img"
package_count=$(chroot "$tree" dpkg-query -W -f '.\n' | wc -l)
say "root file system: $(du -sm "$tree" | cut -f1) MiB, $package_count packages"

say "EFI System Partition with GRUB"
printf 'search --no-floppy --fs-uuid --set=root %s\nset prefix=($root)/boot/grub\n' "$root_uuid" >"$work/early.cfg"
"$grub/tree/usr/bin/grub-mkimage" -O x86_64-efi -d "$grub/tree/usr/lib/grub/x86_64-efi" \
    -p /boot/grub -c "$work/early.cfg" -o "$work/BOOTX64.EFI" \
    part_gpt fat ext2 search search_fs_uuid normal configfile linux boot echo gzio efi_gop all_video
esp=$work/esp.img
truncate -s "${esp_mib}M" "$esp"
mformat -i "$esp" -v ESP -N "$esp_serial" ::
mmd -i "$esp" ::/EFI ::/EFI/BOOT
mcopy -i "$esp" "$work/BOOTX64.EFI" ::/EFI/BOOT/BOOTX64.EFI

say "disk: GPT, ext4 root made from the tree"
# In 512-byte sectors: the ESP at 1 MiB, the root after it up to 1 MiB before
# the end (the backup GPT).
esp_start=2048
esp_size=$((esp_mib * 2048))
root_start=$((esp_start + esp_size))
root_size=$((disk_mib * 2048 - root_start - 2048))
raw=$work/disk.raw
truncate -s "${disk_mib}M" "$raw"
# A line that names the partition sets its number: the root is 1, the ESP 15.
sfdisk --quiet --no-reread --no-tell-kernel "$raw" <<EOF
label: gpt
${raw}1 : start=$root_start, size=$root_size, type=0FC63DAF-8483-4772-8E79-3D69C47709E4, name=cloudimg-rootfs
${raw}15 : start=$esp_start, size=$esp_size, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, name=UEFI
EOF
rootfs=$work/root.img
truncate -s $((root_size * 512)) "$rootfs"
mkfs.ext4 -q -F -L cloudimg-rootfs -U "$root_uuid" -m 1 -d "$tree" "$rootfs"
dd if="$esp" of="$raw" bs=1M seek=$((esp_start / 2048)) conv=notrunc,sparse status=none
dd if="$rootfs" of="$raw" bs=1M seek=$((root_start / 2048)) conv=notrunc,sparse status=none
rm -f "$rootfs" "$esp"
rm -rf "$tree"

say "qemu-img convert -c -O qcow2"
qemu-img convert -c -f raw -O qcow2 "$raw" "$image.tmp"
mv -f "$image.tmp" "$image"
(cd "$out" && sha256sum cloud.qcow2 >cloud.qcow2.sha256)
echo "$fingerprint" >"$out/fingerprint"
say "done: $image ($(($(stat -c %s "$image") / 1048576)) MiB, $package_count packages)"
echo "$image"
