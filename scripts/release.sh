#!/usr/bin/env bash
# Builds the release: for x86-64 and ARM64, one stripped static executable
# with its manual page and bash completion, packed as
#   dist/kelvo-vmhelper-<version>-linux-x86_64.tar.gz
#   dist/kelvo-vmhelper-<version>-linux-aarch64.tar.gz
# The ARM64 executable is cross-built with Debian's g++-aarch64-linux-gnu.
#
# usage: scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
version=$(sed -n 's/^project(kelvo-vmhelper VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist

for arch in x86_64 aarch64; do
    build=build-release-$arch
    toolchain=()
    strip=strip
    if [ $arch = aarch64 ]; then
        toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake)
        strip=aarch64-linux-gnu-strip
    fi
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVO_TESTS=OFF "${toolchain[@]}" >/dev/null
    ninja -C "$build" kelvo-vmhelper
    stage=$build/stage
    rm -rf "$stage"
    mkdir -p "$stage"
    "$strip" -o "$stage/kelvo-vmhelper" "$build/kelvo-vmhelper"
    scripts/check-static.sh "$stage/kelvo-vmhelper"
    cp "$build/kelvo-vmhelper.1" doc/kelvo-vmhelper.bash-completion "$stage/"
    tarball=dist/kelvo-vmhelper-$version-linux-$arch.tar.gz
    tar -C "$stage" --owner=0 --group=0 --numeric-owner -czf "$tarball" \
        kelvo-vmhelper kelvo-vmhelper.1 kelvo-vmhelper.bash-completion
    echo "release: $tarball ($(stat -c %s "$stage/kelvo-vmhelper") bytes stripped)"
done
