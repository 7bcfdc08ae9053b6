// Overwrites secret bytes in a way the compiler keeps even right before the block is freed: the
// empty asm statement claims to read the memory, so the memset cannot be dropped as a dead store.
#pragma once
#include <cstddef>
#include <cstring>

inline void wipeBytes(void* block, size_t n) {
    if (!block) return;
    std::memset(block, 0, n);
    __asm__ __volatile__("" : : "r"(block) : "memory");
}
