#!/usr/bin/env bash
# The ARM64 build's unit and integration tests on this host: cross-built with
# g++-aarch64-linux-gnu into build-arm64/, run under qemu-user. The program
# re-executes itself (a detached `start`) and the integration tests run it
# directly, so qemu-user is registered with binfmt_misc for the run (as root,
# or with sudo) and removed afterwards. Without that, only the unit tests run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-arm64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake >/dev/null
ninja -C build-arm64

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"
labels=(-LE 'slow|e2e')
if $sudo scripts/binfmt-aarch64.sh; then
    trap '$sudo scripts/binfmt-aarch64.sh --remove' EXIT
else
    echo "test-arm64: cannot register qemu-user with binfmt_misc (needs root): unit tests only" >&2
    labels=(-L unit)
fi
ctest --test-dir build-arm64 "${labels[@]}" --output-on-failure -j2 --timeout 600
