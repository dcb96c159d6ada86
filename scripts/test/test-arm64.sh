#!/usr/bin/env bash
# The ARM64 build's tests on this host: cross-built into build-arm64/
# (scripts/build.sh --arm64), run under qemu-user. Under emulation run the
# unit tests, the integration tests whose case depends on the architecture
# (label arch; the others run natively on x86-64), and the end-to-end tests
# (label e2e-arm64), which boot the ARM64 test guest with real
# qemu-system-aarch64 (software emulation through tests/e2e/qemu-shim where
# KVM cannot run it) after scripts/test/e2e-setup.sh --arch arm64. The program
# re-executes itself (a detached `start`) and those tests run it directly, so
# qemu-user is registered with binfmt_misc for the run (as root, or with
# sudo; under a name of this run's own, so an overlapping run keeps its entry)
# and removed afterwards. Without that, only the unit tests run.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/build.sh --arm64

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"
labels=(-L 'unit|arch')
binfmt_name=kelvo-qemu-aarch64-$$
registered=no
if $sudo scripts/test/binfmt-aarch64.sh --name "$binfmt_name"; then
    registered=yes
    trap '$sudo scripts/test/binfmt-aarch64.sh --name "$binfmt_name" --remove' EXIT
else
    echo "test-arm64: cannot register qemu-user with binfmt_misc (needs root): unit tests only" >&2
    labels=(-L unit)
fi
ctest --test-dir build-arm64 "${labels[@]}" --output-on-failure -j2 --timeout 600

if [ $registered = yes ]; then
    started=$SECONDS
    scripts/test/e2e-setup.sh --arch arm64
    ctest --test-dir build-arm64 -L e2e-arm64 --output-on-failure --timeout 1500
    echo "test-arm64: end-to-end tests took $((SECONDS - started)) s"
fi
