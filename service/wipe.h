// Overwrites secret bytes in a way the compiler keeps even right before the block is freed.
#pragma once
#include <cstddef>

inline void wipeBytes(void* block, size_t n) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(block);
    while (n--) *p++ = 0;
}
