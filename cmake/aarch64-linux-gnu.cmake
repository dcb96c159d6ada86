# Cross build for ARM64 with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Tests run under qemu-user (Debian's qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Asio, nlohmann/json and {fmt} are header-only: the build host's packages
# serve the target too, searched after the target's own headers.
set(KELVO_HOST_INCLUDE_DIR /usr/include)
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${KELVO_HOST_INCLUDE_DIR}")
file(GLOB KELVO_HOST_FMT_DIR /usr/lib/*-linux-gnu/cmake/fmt)
list(GET KELVO_HOST_FMT_DIR 0 fmt_DIR)
set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json)
