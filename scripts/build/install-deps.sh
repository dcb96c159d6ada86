#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only what is
# missing; apt-get update first when something is).
set -euo pipefail
# The ARM64 build: a cross compiler, GoogleTest sources, and qemu-user to run
# its tests. The fuzz targets: clang 14 and its libFuzzer and sanitizer
# runtimes.
packages=(cmake ninja-build g++ pkg-config libasio-dev nlohmann-json3-dev libfmt-dev libgtest-dev googletest
          python3 ccache g++-aarch64-linux-gnu qemu-user clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update
    $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
