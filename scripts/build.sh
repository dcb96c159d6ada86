#!/usr/bin/env bash
# Configures and builds a Release tree: build/ for this host, or with --arm64
# build-arm64/, cross-built for ARM64 with Debian's g++-aarch64-linux-gnu
# (GoogleTest from /usr/src/googletest). The tests run in these trees and the
# release packs their executables, so what is tested is what ships. Extra
# arguments go to cmake.
#
# usage: scripts/build.sh [--arm64] [cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
tree=build
toolchain=()
if [ "${1:-}" = --arm64 ]; then
    shift
    tree=build-arm64
    toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake)
fi
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" "$@" >/dev/null
ninja -C "$tree"
