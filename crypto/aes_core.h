// Internal to the cipher engine: the AES tables, computed at compile time from the field
// arithmetic of GF(2^8), and the pieces both directions share.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/wipe.h"
#include "crypto/cipher_engine.h"

namespace aes_detail {

constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b) {
        if (b & 1) r ^= a;
        a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return r;
}

constexpr uint8_t gfInverse(uint8_t a) {
    if (a == 0) return 0;
    // a^254 = a^-1 in GF(2^8)
    uint8_t result = 1, base = a;
    unsigned e = 254;
    while (e) {
        if (e & 1) result = gfMul(result, base);
        base = gfMul(base, base);
        e >>= 1;
    }
    return result;
}

constexpr uint8_t rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

struct Tables {
    uint8_t sbox[256];
    uint8_t invSbox[256];
    uint32_t enc[256];  // S-box with MixColumns: bytes 2s, s, s, 3s
    uint32_t dec[256];  // inverse S-box with InvMixColumns: bytes 14s, 9s, 13s, 11s
};

constexpr Tables makeTables() {
    Tables t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t b = gfInverse(static_cast<uint8_t>(i));
        uint8_t s = static_cast<uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
        t.sbox[i] = s;
        t.invSbox[s] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < 256; ++i) {
        uint8_t s = t.sbox[i];
        t.enc[i] = (uint32_t(gfMul(s, 2)) << 24) | (uint32_t(s) << 16) | (uint32_t(s) << 8) | gfMul(s, 3);
        uint8_t v = t.invSbox[i];
        t.dec[i] = (uint32_t(gfMul(v, 14)) << 24) | (uint32_t(gfMul(v, 9)) << 16) |
                   (uint32_t(gfMul(v, 13)) << 8) | gfMul(v, 11);
    }
    return t;
}

inline constexpr Tables kTables = makeTables();
static_assert(kTables.sbox[0] == 0x63 && kTables.sbox[0x53] == 0xed && kTables.invSbox[0x63] == 0);

constexpr uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t te(uint32_t b, int rot) {
    return rot ? rotr(kTables.enc[b & 0xff], rot) : kTables.enc[b & 0xff];
}
inline uint32_t td(uint32_t b, int rot) {
    return rot ? rotr(kTables.dec[b & 0xff], rot) : kTables.dec[b & 0xff];
}

inline uint32_t load32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint32_t subWord(uint32_t w) {
    return (uint32_t(kTables.sbox[w >> 24]) << 24) | (uint32_t(kTables.sbox[(w >> 16) & 0xff]) << 16) |
           (uint32_t(kTables.sbox[(w >> 8) & 0xff]) << 8) | kTables.sbox[w & 0xff];
}

// Rounds follow from the schedule length: 44, 52 or 60 words give 10, 12 or 14.
inline uint32_t roundsOf(uint32_t roundKeyWords) {
    if (roundKeyWords == 44) return 10;
    if (roundKeyWords == 52) return 12;
    return 14;
}

// The body of both updates: blocks are moved through buffer and handed to step, while hold bytes
// (1 when deciphering) stay behind for the final.
uint32_t runUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength, uint8_t* output,
                   uint32_t* outputLength, uint32_t hold, void (*step)(CipherContext*, uint8_t*));

}  // namespace aes_detail
