#!/usr/bin/env bash
# Builds the small guest the end-to-end tests and the demo boot: a UEFI
# disk, guest.qcow2, made from Debian 12 packages fetched with
# `apt-get download` (no other network).
#
# usage: [ARCH=amd64|arm64] [GUEST_OUT=dir] tests/e2e/guest/build-guest.sh [--rebuild]
#   ARCH       amd64 (default): boots under OVMF, qemu-system-x86_64 -machine q35
#              arm64: boots under AAVMF, qemu-system-aarch64 -machine virt
#   GUEST_OUT  output folder (default ${TMPDIR:-/tmp}/kelvo-test-guest, or
#              ${TMPDIR:-/tmp}/kelvo-test-guest-arm64 for arm64); the .debs are
#              kept in GUEST_OUT/debs and reused (delete that folder to refetch)
#   --rebuild  (or GUEST_REBUILD=1) build again even when guest.qcow2 is up to date
#   GUEST_CMDLINE_EXTRA  more kernel arguments (e.g. loglevel=7 to debug a boot)
# Progress goes to stderr; the path of guest.qcow2 is printed on stdout.
#
# The disk: a GPT with one EFI System Partition holding systemd-boot as the
# removable-media loader (\EFI\BOOT\BOOTX64.EFI or BOOTAA64.EFI), one loader
# entry, Debian's kernel and a busybox initramfs (rootfs/ of this folder plus
# the programs below). The guest never mounts the disk. It
#   * prints to the serial console (ttyS0, ttyAMA0 on arm64),
#   * takes its address by DHCP (busybox udhcpc) and offers /sbin/dhclient,
#   * applies the cloud-init NoCloud seed (the device labelled "cidata"):
#     hostname from meta-data local-hostname, ssh_authorized_keys of a
#     #cloud-config user-data as root's keys,
#   * runs dropbear, an SSH server ("SSH-2.0-dropbear..."), on port 22; root
#     logs in with an ed25519 key (GUEST_OUT/id_ed25519 works too when the
#     host has ssh-keygen),
#   * runs qemu-ga on the virtio-serial port org.qemu.guest_agent.0,
#   * powers off when the ACPI power button is pressed.
#
# Host needs: apt-get and dpkg (Debian lists updated once), python3,
# qemu-img, flock; mtools (fetched as a .deb when missing). ARM64 on another
# host architecture: dpkg must know arm64 for the download; when it does not,
# the script (as root) adds the architecture, runs apt-get update, and removes
# the architecture again afterwards.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
arch=${ARCH:-amd64}
rebuild=${GUEST_REBUILD:-}
for arg in "$@"; do
    case $arg in
    --rebuild) rebuild=1 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "build-guest: unknown argument $arg" >&2; exit 2 ;;
    esac
done

case $arch in
amd64)
    out=${GUEST_OUT:-${TMPDIR:-/tmp}/kelvo-test-guest}
    triplet=x86_64-linux-gnu
    loader=systemd-bootx64.efi boot_name=BOOTX64.EFI
    console=ttyS0,115200 qemu_user=qemu-x86_64 ;;
arm64)
    out=${GUEST_OUT:-${TMPDIR:-/tmp}/kelvo-test-guest-arm64}
    triplet=aarch64-linux-gnu
    loader=systemd-bootaa64.efi boot_name=BOOTAA64.EFI
    console=ttyAMA0 qemu_user=qemu-aarch64 ;;
*)
    echo "build-guest: ARCH must be amd64 or arm64, not '$arch'" >&2
    exit 2 ;;
esac
cmdline="console=$console panic=-1 quiet loglevel=4 rdinit=/init${GUEST_CMDLINE_EXTRA:+ $GUEST_CMDLINE_EXTRA}"
native=$(dpkg --print-architecture)

started=$(date +%s%N)
say() {
    local ms=$(( ($(date +%s%N) - started) / 1000000 ))
    printf 'build-guest [%s %3d.%ds] %s\n' "$arch" $((ms / 1000)) $((ms % 1000 / 100)) "$*" >&2
}
die() { echo "build-guest: $*" >&2; exit 1; }

for tool in apt-get apt-cache dpkg-deb python3 qemu-img flock tar sha256sum; do
    command -v "$tool" >/dev/null || die "this host lacks $tool"
done

mkdir -p "$out"
out=$(cd "$out" && pwd)
# One build at a time per output folder.
exec 9>"$out/.lock"
flock -w 1200 9 || die "another build held $out/.lock for 20 minutes"

# What the result is made from: the arch, the command line, this script,
# its helper and the initramfs files.
fingerprint=$({ echo "$arch $cmdline"; cd "$here" &&
    find build-guest.sh guest_image.py rootfs -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum; } |
    sha256sum | cut -d' ' -f1)
if [ -z "$rebuild" ] && [ -f "$out/guest.qcow2" ] &&
        [ "$(cat "$out/fingerprint" 2>/dev/null)" = "$fingerprint" ]; then
    say "up to date: $out/guest.qcow2"
    echo "$out/guest.qcow2"
    exit 0
fi

debs=$out/debs
work=$out/work
mkdir -p "$debs"
added_arch=""
drop_arch() {   # forget the architecture this script added to dpkg, if any
    if [ -n "$added_arch" ]; then
        added_arch=""
        dpkg --remove-architecture "$arch" && say "dpkg architecture $arch removed again"
    fi
}
finish() {
    drop_arch
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ------------------------------------------------------------ packages
# The cached .deb of a package for an architecture (or "all"), newest first.
deb_of() {
    { ls "$debs/$1"_*_"$2".deb "$debs/$1"_*_all.deb 2>/dev/null || true; } | sort -V | tail -n1
}
apt_knows() {   # apt lists packages of $arch
    apt-cache show "linux-image-$arch:$arch" >/dev/null 2>&1
}
make_apt_know() {
    apt_knows && return 0
    if [ "$arch" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        [ "$(id -u)" = 0 ] || die "dpkg does not know $arch; run as root so the script can add it for the download"
        say "dpkg --add-architecture $arch (for the download only), apt-get update"
        dpkg --add-architecture "$arch"
        added_arch=1
    else
        say "apt-get update"
    fi
    apt-get -q=2 -o DPkg::Lock::Timeout=300 update >&2
    apt_knows || die "apt does not list linux-image-$arch:$arch (check the Debian sources)"
}

# The package set: the kernel the metapackage points at, systemd-boot, and
# busybox, dropbear and the guest agent with every package they depend on
# (most are libraries; only the ones the programs load go into the guest).
# It is remembered in debs/packages-$arch so a cached build needs no apt.
list=$debs/packages-$arch
cached=yes
if [ ! -s "$list" ]; then
    cached=no
else
    while read -r pkg parch; do
        [ -n "$(deb_of "$pkg" "$parch")" ] || { cached=no; break; }
    done < "$list"
fi
if [ $cached = no ]; then
    make_apt_know
    kernel=$(apt-cache depends "linux-image-$arch:$arch" |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { sub(/:.*/, "", $2); print $2; exit }')
    [ -n "$kernel" ] || die "cannot tell which kernel linux-image-$arch points at"
    closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
            --no-replaces --no-enhances --no-pre-depends \
            "busybox-static:$arch" "dropbear-bin:$arch" "qemu-guest-agent:$arch" |
        awk '/^[a-z0-9]/ { sub(/:.*/, ""); print }' | sort -u)
    {
        echo "$kernel $arch"
        echo "systemd-boot-efi $arch"
        for pkg in $closure; do echo "$pkg $arch"; done
        command -v mcopy >/dev/null || echo "mtools $native"
    } > "$list.new"
    wanted=()
    while read -r pkg parch; do
        [ -n "$(deb_of "$pkg" "$parch")" ] || wanted+=("$pkg:$parch")
    done < "$list.new"
    if [ ${#wanted[@]} -gt 0 ]; then
        say "downloading ${#wanted[@]} packages: ${wanted[*]}"
        # As root, apt warns that _apt cannot write here; nothing else is filtered.
        (cd "$debs" && apt-get -q download "${wanted[@]}" 2>&1 >/dev/null |
            grep -v 'Download is performed unsandboxed' >&2 || true)
        for p in "${wanted[@]}"; do
            [ -n "$(deb_of "${p%%:*}" "${p##*:}")" ] || die "could not download $p (apt-get update?)"
        done
    fi
    mv "$list.new" "$list"
else
    say "packages cached in $debs"
fi
drop_arch   # apt is done

# ------------------------------------------------------------ extraction
say "extracting"
rm -rf "$work"
mkdir -p "$work/pkgs" "$work/kernel" "$work/tree"
pkgs=$work/pkgs
kernel_deb=""
while read -r pkg parch; do
    deb=$(deb_of "$pkg" "$parch")
    case $pkg in
    linux-image-*) kernel_deb=$deb ;;
    mtools) dpkg-deb -x "$deb" "$work/mtools" ;;
    *) dpkg-deb -x "$deb" "$pkgs" ;;
    esac
done < "$list"
[ -n "$kernel_deb" ] || die "no kernel in $list"
# From the kernel package only what the guest uses (it holds ~400 MB of modules).
extract_kernel() {
    dpkg-deb --fsys-tarfile "$kernel_deb" |
        tar -x -C "$work/kernel" --wildcards --no-anchored "$@" 2>/dev/null || true
}
modules=(virtio_pci virtio_net virtio_blk virtio_console virtio_rng virtio_balloon button evdev isofs)
patterns=('boot/vmlinuz-*' modules.order modules.builtin '*/virtio*.ko' '*failover.ko' '*/cdrom.ko')
for m in "${modules[@]}"; do patterns+=("*/$m.ko" "*/${m//_/-}.ko"); done
extract_kernel "${patterns[@]}"
kver=$(find "$work/kernel/lib/modules" -mindepth 1 -maxdepth 1 -printf '%f\n' 2>/dev/null | head -n1)
if [ -z "$kver" ] || [ ! -f "$work/kernel/boot/vmlinuz-$kver" ]; then
    die "$kernel_deb holds no kernel image"
fi
kdir=$work/kernel/lib/modules/$kver
tree=$work/tree
for round in 1 2 3 4 5; do
    status=0
    order=$(python3 "$here/guest_image.py" modules "$kdir" "$tree" "${modules[@]}") || status=$?
    [ $status = 3 ] || break
    [ $round -lt 5 ] || die "module dependencies still missing: $order"
    say "extracting module dependencies: $order"
    more=()
    for rel in $order; do more+=("lib/modules/$kver/$rel"); done
    extract_kernel "${more[@]}"
done
[ "$status" = 0 ] || exit 1
say "kernel $kver; modules in load order: $order"

# ------------------------------------------------------------ initramfs
say "assembling the initramfs"
cp -a "$here/rootfs/." "$tree/"
mkdir -p "$tree"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,run,tmp,var,mnt,root/.ssh,etc/dropbear}
ln -sfn ../run "$tree/var/run"
chmod 1777 "$tree/tmp"
chmod 700 "$tree/root" "$tree/root/.ssh"
chmod 600 "$tree/etc/shadow"
cp "$pkgs/bin/busybox" "$tree/bin/busybox"
cp "$pkgs/usr/sbin/dropbear" "$tree/usr/sbin/dropbear"
cp "$pkgs/usr/sbin/qemu-ga" "$tree/usr/sbin/qemu-ga"
interp=$(python3 "$here/guest_image.py" libs "$pkgs" "$tree" "$tree/usr/sbin/dropbear" "$tree/usr/sbin/qemu-ga")

# A host key made once per output folder keeps the guest's identity across
# rebuilds. dropbearkey runs from the extracted packages, natively or under
# qemu-user; without either the guest makes its keys at the first login.
hostkey=$out/dropbear_ed25519_host_key
if [ ! -s "$hostkey" ]; then
    run=()
    if [ "$arch" != "$native" ]; then
        if command -v "$qemu_user" >/dev/null; then run=("$qemu_user"); else run=(false); fi
    fi
    "${run[@]}" "$pkgs/lib/$triplet/${interp##*/}" \
        --library-path "$pkgs/lib/$triplet:$pkgs/usr/lib/$triplet" \
        "$pkgs/usr/bin/dropbearkey" -t ed25519 -f "$hostkey.new" >/dev/null 2>&1 &&
        mv "$hostkey.new" "$hostkey" || rm -f "$hostkey.new"
fi
if [ -s "$hostkey" ]; then
    install -m 600 "$hostkey" "$tree/etc/dropbear/dropbear_ed25519_host_key"
else
    say "no host key at build time: the guest makes its own"
fi
# A login key of the build itself, besides the ones a seed brings.
if command -v ssh-keygen >/dev/null; then
    [ -s "$out/id_ed25519" ] || ssh-keygen -q -t ed25519 -N '' -C "e2e-guest-$arch" -f "$out/id_ed25519"
    install -m 600 "$out/id_ed25519.pub" "$tree/root/.ssh/authorized_keys"
fi
python3 "$here/guest_image.py" cpio "$tree" "$work/initrd.img"

# ------------------------------------------------------------ disk
say "writing the EFI System Partition and the disk"
vmlinuz=$work/kernel/boot/vmlinuz-$kver
# systemd-boot starts the kernel with LoadImage: it must be a PE image (its
# EFI stub). A gzip-compressed arm64 Image is unpacked first.
if [ "$(head -c2 "$vmlinuz" | od -An -tx1 | tr -d ' \n')" = 1f8b ]; then
    gzip -dc "$vmlinuz" > "$work/vmlinuz"
    vmlinuz=$work/vmlinuz
fi
[ "$(head -c2 "$vmlinuz")" = MZ ] || die "the kernel $kver is not an EFI stub (PE) image"
mkdir -p "$work/esp/EFI/BOOT" "$work/esp/loader/entries" "$work/esp/e2e-guest"
cp "$pkgs/usr/lib/systemd/boot/efi/$loader" "$work/esp/EFI/BOOT/$boot_name"
cp "$vmlinuz" "$work/esp/e2e-guest/vmlinuz"
cp "$work/initrd.img" "$work/esp/e2e-guest/initrd.img"
printf 'default e2e-guest.conf\ntimeout 0\neditor no\n' > "$work/esp/loader/loader.conf"
printf 'title e2e test guest (%s)\nlinux /e2e-guest/vmlinuz\ninitrd /e2e-guest/initrd.img\noptions %s\n' \
    "$kver" "$cmdline" > "$work/esp/loader/entries/e2e-guest.conf"
content_mib=$(( ($(du -sb "$work/esp" | cut -f1) + 1048575) / 1048576 ))
esp_mib=$(( content_mib + 8 ))
disk_mib=$(( (esp_mib + 2 + 15) / 16 * 16 ))
mtools_bin=""
[ -d "$work/mtools" ] && mtools_bin=$work/mtools/usr/bin/
export MTOOLS_SKIP_CHECK=1
truncate -s "${esp_mib}M" "$work/esp.img"
"${mtools_bin}mformat" -i "$work/esp.img" -v E2E-ESP -N 6b656c76 ::
(cd "$work/esp" && "${mtools_bin}mcopy" -s -i "$work/esp.img" EFI loader e2e-guest ::/)
python3 "$here/guest_image.py" disk "$work/esp.img" "$work/disk.raw" "$disk_mib"
qemu-img convert -f raw -O qcow2 "$work/disk.raw" "$out/guest.qcow2.new"
mv -f "$out/guest.qcow2.new" "$out/guest.qcow2"
echo "$fingerprint" > "$out/fingerprint"

took=$(( ($(date +%s%N) - started) / 1000000 ))
{
    echo "arch:              $arch"
    echo "kernel:            $kver ($(basename "$kernel_deb"))"
    echo "cmdline:           $cmdline"
    echo "modules:           $order"
    echo "packages cached:   $cached"
    echo "build seconds:     $((took / 1000)).$((took % 1000 / 100))"
    echo "kernel bytes:      $(stat -c %s "$vmlinuz")"
    echo "initramfs bytes:   $(stat -c %s "$work/initrd.img")"
    echo "disk:              ${disk_mib} MiB virtual, ESP ${esp_mib} MiB"
    echo "guest.qcow2 bytes: $(stat -c %s "$out/guest.qcow2")"
    echo "guest.qcow2 sha256: $(sha256sum "$out/guest.qcow2" | cut -d' ' -f1)"
} > "$out/build-info.txt"
sed 's/^/    /' "$out/build-info.txt" >&2
say "done: $out/guest.qcow2"
echo "$out/guest.qcow2"
