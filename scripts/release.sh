#!/usr/bin/env bash
# Builds the release: for x86-64 and ARM64, one stripped static executable
# with its manual page and bash completion, packed as
#   dist/kelvo-vmhelper-<version>-linux-x86_64.tar.gz
#   dist/kelvo-vmhelper-<version>-linux-aarch64.tar.gz
# The executables come from the Release trees the tests run in (build/ and
# build-arm64/, scripts/build.sh), built first when they are not up to date;
# the ARM64 one is cross-built with Debian's g++-aarch64-linux-gnu.
#
# usage: scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build/install-deps.sh
version=$(sed -n 's/^project(kelvo-vmhelper VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist

for arch in x86_64 aarch64; do
    if [ $arch = aarch64 ]; then
        build=build-arm64
        scripts/build.sh --arm64
        strip=aarch64-linux-gnu-strip
    else
        build=build
        scripts/build.sh
        strip=strip
    fi
    stage=$build/stage
    rm -rf "$stage"
    mkdir -p "$stage"
    "$strip" -o "$stage/kelvo-vmhelper" "$build/kelvo-vmhelper"
    scripts/build/check-static.sh "$stage/kelvo-vmhelper"
    cp "$build/kelvo-vmhelper.1" doc/kelvo-vmhelper.bash-completion "$stage/"
    tarball=dist/kelvo-vmhelper-$version-linux-$arch.tar.gz
    tar -C "$stage" --owner=0 --group=0 --numeric-owner -czf "$tarball" \
        kelvo-vmhelper kelvo-vmhelper.1 kelvo-vmhelper.bash-completion
    echo "release: $tarball ($(stat -c %s "$stage/kelvo-vmhelper") bytes stripped)"
done
