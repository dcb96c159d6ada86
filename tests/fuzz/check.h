#pragma once

#include <cstdio>
#include <cstdlib>

// A property of the code under test that must hold for every input: a
// violation is reported and aborts, which libFuzzer records as a crash.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
