#!/usr/bin/env bash
# Fresh Debian 12 machine: installs what is missing, builds, and runs the
# program's main job on a demo VM.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build/install-deps.sh
scripts/build.sh
if [ -x scripts/demo.sh ]; then
    exec scripts/demo.sh build/kelvo-vmhelper
fi
# Without the demo: check this host against the example configuration, then
# list the VMs of this user.
build/kelvo-vmhelper validate --config examples/helper.json || true
build/kelvo-vmhelper list
