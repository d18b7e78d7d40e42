// The counts that the preloaded allocation counter keeps in a file shared
// with the test. Plain integers, updated with atomic builtins.
#pragma once

#include <cstdint>

constexpr char ALLOC_COUNTER_ENV[] = "ALLOC_COUNTER_FILE";

struct AllocCounts {
    uint64_t calls;       // malloc, calloc, realloc, memalign and friends
    uint64_t lastSize;    // size asked for by the latest call
    uint64_t lastThread;  // kernel thread id of the latest caller
};
