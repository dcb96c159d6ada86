#pragma once

#include <cstdlib>

#include <gtest/gtest.h>

// CTest sets KELVO_UNDER_EMULATION when an ARM64 build's tests run under
// qemu-user on another host.
inline bool under_emulation() {
    return std::getenv("KELVO_UNDER_EMULATION") != nullptr;
}

// qemu-user runs posix_spawn's child as a process of its own before the
// exec, so a program that cannot be started shows up as a child that exits
// with status 127, never as an error of spawn. The rest of a test that checks
// that error is skipped there.
#define KELVO_SKIP_SPAWN_ERRORS_UNDER_EMULATION()                                         \
    do {                                                                                  \
        if (under_emulation())                                                            \
            GTEST_SKIP() << "qemu-user reports a program that cannot be started as exit " \
                            "status 127, not as an error of spawn";                       \
    } while (false)
