// SHA-512 (FIPS 180-4) and its upper-case hex text.
#include "crypto/sha512.h"

#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/wipe.h"

namespace {

constexpr uint64_t kInitial[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                  0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                                  0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

constexpr uint64_t kRound[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL};

inline uint64_t rotr(uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

inline void store64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = uint8_t(v);
        v >>= 8;
    }
}

// Adds n to the 128-bit byte count kept as four 32-bit words, carrying upwards.
void addToCount(uint32_t count[4], uint64_t n) {
    uint64_t sum = uint64_t(count[0]) + (n & 0xffffffffu);
    count[0] = uint32_t(sum);
    sum = uint64_t(count[1]) + (n >> 32) + (sum >> 32);
    count[1] = uint32_t(sum);
    for (int i = 2; i < 4 && (sum >> 32); ++i) {
        sum = uint64_t(count[i]) + (sum >> 32);
        count[i] = uint32_t(sum);
    }
}

}  // namespace

void sha512Init(Sha512Context* context) {
    std::memset(context->byteCount, 0, sizeof context->byteCount);
    std::memcpy(context->state, kInitial, sizeof kInitial);
}

void sha512Process(Sha512Context* context, const uint8_t block[128]) {
    uint64_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = load64(block + 8 * t);
    for (int t = 16; t < 80; ++t) {
        uint64_t s0 = rotr(w[t - 15], 1) ^ rotr(w[t - 15], 8) ^ (w[t - 15] >> 7);
        uint64_t s1 = rotr(w[t - 2], 19) ^ rotr(w[t - 2], 61) ^ (w[t - 2] >> 6);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint64_t a = context->state[0], b = context->state[1], c = context->state[2], d = context->state[3],
             e = context->state[4], f = context->state[5], g = context->state[6], h = context->state[7];
    for (int t = 0; t < 80; ++t) {
        uint64_t t1 = h + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) + ((e & f) ^ (~e & g)) + kRound[t] + w[t];
        uint64_t t2 = (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    context->state[0] += a;
    context->state[1] += b;
    context->state[2] += c;
    context->state[3] += d;
    context->state[4] += e;
    context->state[5] += f;
    context->state[6] += g;
    context->state[7] += h;
    wipeBytes(w, sizeof w);
}

void sha512Update(Sha512Context* context, const uint8_t* data, size_t length) {
    if (length == 0) return;
    size_t used = context->byteCount[0] & 127u;
    addToCount(context->byteCount, length);
    if (used) {
        size_t room = 128 - used;
        if (length < room) {
            std::memcpy(context->block + used, data, length);
            return;
        }
        std::memcpy(context->block + used, data, room);
        sha512Process(context, context->block);
        data += room;
        length -= room;
    }
    while (length >= 128) {
        sha512Process(context, data);
        data += 128;
        length -= 128;
    }
    if (length) std::memcpy(context->block, data, length);
}

void sha512Finish(Sha512Context* context, uint8_t digest[64]) {
    // The bit count is the byte count shifted left by 3, as a 128-bit big-endian number.
    uint8_t bits[16];
    const uint32_t* c = context->byteCount;
    uint64_t high = (uint64_t(c[3]) << 32 | c[2]) << 3 | (uint64_t(c[1]) >> 29);
    uint64_t low = (uint64_t(c[1]) << 32 | c[0]) << 3;
    store64(bits, high);
    store64(bits + 8, low);

    size_t used = context->byteCount[0] & 127u;
    static const uint8_t kPadding[128] = {0x80};
    size_t padLength = used < 112 ? 112 - used : 240 - used;
    sha512Update(context, kPadding, padLength);
    sha512Update(context, bits, 16);
    for (int i = 0; i < 8; ++i) store64(digest + 8 * i, context->state[i]);
}

char* hexEncodeDigest(const uint8_t digest[64]) {
    static const char kDigits[] = "0123456789ABCDEF";
    char* text = static_cast<char*>(std::calloc(129, 1));
    if (!text) {
        reportAllocFail("Tool", 184);
        return nullptr;
    }
    for (int i = 0; i < 64; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 15];
    }
    return text;
}

char* sha512Hex(const char* text) {
    if (!text) return nullptr;
    Sha512Context context;
    std::memset(&context, 0, sizeof context);
    sha512Init(&context);
    size_t length = std::strlen(text);
    if (length) sha512Update(&context, reinterpret_cast<const uint8_t*>(text), length);
    uint8_t digest[64];
    sha512Finish(&context, digest);
    wipeBytes(&context, sizeof context);
    char* hex = hexEncodeDigest(digest);
    wipeBytes(digest, sizeof digest);
    return hex;
}
