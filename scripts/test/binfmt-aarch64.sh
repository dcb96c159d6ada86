#!/usr/bin/env bash
# Registers qemu-user as the interpreter of ARM64 executables with the
# kernel's binfmt_misc (as root), so the ARM64 build runs directly here: the
# program re-executes itself for a detached `start`, and the integration tests
# run the built binary. `--remove` takes the registration away again.
#
# usage: scripts/test/binfmt-aarch64.sh [--name NAME] [--remove]
#   --name  the entry's name under /proc/sys/fs/binfmt_misc (default
#           kelvo-qemu-aarch64). Runs that overlap on one host give their own
#           names, so one run's --remove leaves the other's entry in place
#           (entries that match the same executables serve alike).
set -euo pipefail
name=kelvo-qemu-aarch64
remove=no
while [ $# -gt 0 ]; do
    case $1 in
    --name) [ $# -ge 2 ] || { echo "binfmt-aarch64: --name needs a value" >&2; exit 2; }
            name=$2; shift ;;
    --name=*) name=${1#--name=} ;;
    --remove) remove=yes ;;
    *) echo "usage: scripts/test/binfmt-aarch64.sh [--name NAME] [--remove]" >&2; exit 2 ;;
    esac
    shift
done
case $name in
''|.|..|*/*|*:*) echo "binfmt-aarch64: '$name' cannot name a binfmt_misc entry" >&2; exit 2 ;;
esac
dir=/proc/sys/fs/binfmt_misc
if [ $remove = yes ]; then
    [ -e "$dir/$name" ] && echo -1 > "$dir/$name"
    exit 0
fi
[ -e "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir"
interpreter=$(command -v qemu-aarch64)
[ -e "$dir/$name" ] && echo -1 > "$dir/$name"
# ELF, 64-bit, little-endian, machine 183 (AArch64). F: the interpreter is
# opened now, so it serves in every mount namespace.
magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
echo ":$name:M::$magic:$mask:$interpreter:F" > "$dir/register"
