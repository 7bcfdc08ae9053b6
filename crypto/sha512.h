// SHA-512 over a C string, as 128 upper-case hexadecimal digits; the instruction messages sign
// themselves with it.
#pragma once
#include <cstddef>
#include <cstdint>

struct Sha512Context {
    uint32_t byteCount[4];  // 128-bit count of bytes hashed, least significant word first
    uint64_t state[8];
    uint8_t block[128];  // bytes not yet compressed (byteCount mod 128 of them)
};

void sha512Init(Sha512Context* context);
void sha512Update(Sha512Context* context, const uint8_t* data, size_t length);
void sha512Process(Sha512Context* context, const uint8_t block[128]);
void sha512Finish(Sha512Context* context, uint8_t digest[64]);

// New 129-byte text of the digest in upper-case hex (caller frees), NULL when out of memory.
char* hexEncodeDigest(const uint8_t digest[64]);
// New hex text of the SHA-512 of the text's bytes (without its NUL); NULL for a NULL text.
char* sha512Hex(const char* text);
