#!/usr/bin/env bash
# The ARM64 build's tests on this host: cross-built with g++-aarch64-linux-gnu
# into build-arm64/, run under qemu-user. The program re-executes itself (a
# detached `start`) and the integration and end-to-end tests run it directly,
# so qemu-user is registered with binfmt_misc for the run (as root, or with
# sudo; under a name of this run's own, so an overlapping run keeps its entry)
# and removed afterwards. Without that, only the unit tests run. The
# end-to-end tests (label e2e-arm64) boot the ARM64 test guest with real
# qemu-system-aarch64 (software emulation through tests/e2e/qemu-shim where
# KVM cannot run it) after scripts/e2e-setup.sh --arch arm64.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-arm64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake >/dev/null
ninja -C build-arm64

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"
labels=(-LE 'slow|e2e')
binfmt_name=kelvo-qemu-aarch64-$$
registered=no
if $sudo scripts/binfmt-aarch64.sh --name "$binfmt_name"; then
    registered=yes
    trap '$sudo scripts/binfmt-aarch64.sh --name "$binfmt_name" --remove' EXIT
else
    echo "test-arm64: cannot register qemu-user with binfmt_misc (needs root): unit tests only" >&2
    labels=(-L unit)
fi
ctest --test-dir build-arm64 "${labels[@]}" --output-on-failure -j2 --timeout 600

if [ $registered = yes ]; then
    started=$SECONDS
    scripts/e2e-setup.sh --arch arm64
    ctest --test-dir build-arm64 -L e2e-arm64 --output-on-failure --timeout 1500
    echo "test-arm64: end-to-end tests took $((SECONDS - started)) s"
fi
