#!/usr/bin/env bash
# The whole test suite, in the Release trees the release is packed from: this
# host's unit and integration tests, the end-to-end tests against real QEMU
# with the small test guest and then with the real Debian cloud image (each
# skipped with a reason when QEMU or the guest cannot be had), then the ARM64
# build's tests under qemu-user (scripts/test/test-arm64.sh). The ARM64 tree
# builds at the lowest priority while this host's tests run, as those mostly
# wait on the program and its fakes and leave the processors idle. Prints each
# stage's time. The long protocol limits are opt-in: scripts/test.sh --slow.
set -euo pipefail
cd "$(dirname "$0")/.."
stages_prefix=test
source scripts/build/stages.sh
scripts/build/install-deps.sh
scripts/build.sh
stage "build"

arm64_log=$(mktemp "${TMPDIR:-/tmp}/kelvo-arm64-build.XXXXXX")
# Its own session, so that an early exit ends the whole build.
setsid nice -n 19 scripts/build.sh --arm64 >"$arm64_log" 2>&1 &
arm64_build=$!
trap 'kill -- -$arm64_build 2>/dev/null || true; rm -f "$arm64_log"' EXIT

ctest --test-dir build -LE 'slow|e2e' --output-on-failure -j4 --timeout 600
stage "unit and integration tests"
if [ "${1:-}" = "--slow" ]; then
    ctest --test-dir build -L slow --output-on-failure --timeout 1500
    stage "tests of the long limits"
fi
ctest --test-dir build -L '^e2e$' --output-on-failure --timeout 1500
stage "end-to-end tests"
ctest --test-dir build -L e2e-cloud --output-on-failure --timeout 1500
stage "end-to-end test of the real cloud image"

if ! wait $arm64_build; then
    tail -n 60 "$arm64_log"
    echo "test: the ARM64 build failed" >&2
    exit 1
fi
stage "the rest of the ARM64 build"
scripts/test/test-arm64.sh
stage "ARM64 tests"
stages_total
