#!/usr/bin/env bash
# Proof that the static executable stands alone: copied by itself into an
# empty root (only the executable, /proc and /dev), it runs `version`, `help`
# and `list` there. Needs root (chroot and mount).
#
# usage: scripts/test/check-portable.sh path/to/kelvo-vmhelper
set -euo pipefail
bin=$1
version=$(sed -n 's/^project(kelvo-vmhelper VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
root=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-chroot.XXXXXX")
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    umount "$root/dev" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
mkdir -p "$root/proc" "$root/dev" "$root/home/user"
cp "$bin" "$root/kelvo-vmhelper"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"

chroot=$(command -v chroot)
fail() { echo "check-portable: $*" >&2; exit 1; }
# Runs the program inside the root; sets out and status.
inside() {
    set +e
    out=$(env -i HOME=/home/user "$chroot" "$root" /kelvo-vmhelper "$@" 2>&1)
    status=$?
    set -e
}

inside version
[ $status -eq 0 ] && [ "$out" = "$version" ] || fail "version: status $status: $out"
inside help
[ $status -eq 0 ] && [[ "$out" == "kelvo-vmhelper $version — "* ]] || fail "help: status $status: $out"
inside list
[ $status -eq 0 ] && [[ "$out" == "No VMs on this host."* ]] || fail "list: status $status: $out"
echo "check-portable: version, help and list run in an empty root"
