#!/usr/bin/env bash
# Registers qemu-user as the interpreter of ARM64 executables with the
# kernel's binfmt_misc (as root), so the ARM64 build runs directly here: the
# program re-executes itself for a detached `start`, and the integration tests
# run the built binary. `--remove` takes the registration away again.
#
# usage: scripts/binfmt-aarch64.sh [--remove]
set -euo pipefail
name=kelvo-qemu-aarch64
dir=/proc/sys/fs/binfmt_misc
if [ "${1:-}" = "--remove" ]; then
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
