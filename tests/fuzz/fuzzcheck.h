#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the fuzz target when an invariant does not hold, naming it; libFuzzer
// keeps the input that broke it as a crash.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant does not hold: %s\n", __FILE__, __LINE__,       \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
