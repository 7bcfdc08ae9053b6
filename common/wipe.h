// Wiping of secrets: keys, cipher states, request bodies and decoded values are overwritten before
// their memory is given back or left behind. The one technique for every build: memset, then an
// empty asm statement that claims to read the memory, so the stores are not dropped as dead even
// right before free(). gcc and clang understand it on Linux and with mingw-w64, which has no
// explicit_bzero.
#pragma once
#include <cstddef>
#include <cstdlib>
#include <cstring>

inline void wipeBytes(void* block, size_t n) {
    if (block == nullptr || n == 0) return;
    std::memset(block, 0, n);
    __asm__ __volatile__("" : : "r"(block) : "memory");
}

// Wipes n bytes of a heap block, then frees it (NULL is fine).
inline void wipeAndFree(void* block, size_t n) {
    if (block == nullptr) return;
    wipeBytes(block, n);
    std::free(block);
}

// Overwrites the text's characters with zeros, then frees it (NULL is fine).
inline void wipeAndFree(char* text) {
    if (text == nullptr) return;
    wipeAndFree(text, std::strlen(text));
}
