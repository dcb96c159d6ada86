#!/usr/bin/env bash
# The whole test suite: unit and integration tests, the end-to-end tests
# against real QEMU (skipped with a reason when QEMU or the guest cannot be
# had), then the ARM64 build's unit and integration tests under qemu-user.
# The long protocol limits are opt-in: scripts/test.sh --slow.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
ctest --test-dir build -LE 'slow|e2e' --output-on-failure -j2 --timeout 600
if [ "${1:-}" = "--slow" ]; then
    ctest --test-dir build -L slow --output-on-failure --timeout 1500
fi
ctest --test-dir build -L e2e --output-on-failure --timeout 1500
scripts/test-arm64.sh
