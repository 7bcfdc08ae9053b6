// AES (FIPS 197) and one CBC-with-PKCS#7 mechanism on PKCS#11 conventions.
#include "crypto/cipher_engine.h"

#include <cstdio>
#include <cstring>

namespace {

// ---- tables, computed at compile time from the field arithmetic of GF(2^8) ----------------------

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

constexpr uint8_t rotl8(uint8_t x, int n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }

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
        t.dec[i] = (uint32_t(gfMul(v, 14)) << 24) | (uint32_t(gfMul(v, 9)) << 16) | (uint32_t(gfMul(v, 13)) << 8) |
                   gfMul(v, 11);
    }
    return t;
}

constexpr Tables kTables = makeTables();
static_assert(kTables.sbox[0] == 0x63 && kTables.sbox[0x53] == 0xed && kTables.invSbox[0x63] == 0);

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t te(uint32_t b, int rot) { return rot ? rotr(kTables.enc[b & 0xff], rot) : kTables.enc[b & 0xff]; }
inline uint32_t td(uint32_t b, int rot) { return rot ? rotr(kTables.dec[b & 0xff], rot) : kTables.dec[b & 0xff]; }

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

void wipe(void* p, size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

}  // namespace

void aes256ExpandKey(const uint8_t key[32], uint32_t roundKeys[60], uint32_t* roundKeyWords) {
    for (int i = 0; i < 8; ++i) roundKeys[i] = load32(key + 4 * i);
    uint8_t rcon = 1;
    for (int i = 8; i < 60; ++i) {
        uint32_t temp = roundKeys[i - 1];
        if (i % 8 == 0) {
            temp = subWord(rotr(temp, 24)) ^ (uint32_t(rcon) << 24);
            rcon = gfMul(rcon, 2);
        } else if (i % 8 == 4) {
            temp = subWord(temp);
        }
        roundKeys[i] = roundKeys[i - 8] ^ temp;
    }
    *roundKeyWords = 60;
}

void aesInvertKeySchedule(uint32_t* roundKeys, uint32_t roundKeyWords) {
    // Equivalent inverse cipher: InvMixColumns on every round key but the first and the last.
    // dec[sbox[x]] is InvMixColumns of a column holding x in its top byte.
    for (uint32_t i = 4; i + 4 < roundKeyWords; ++i) {
        uint32_t w = roundKeys[i];
        roundKeys[i] = td(kTables.sbox[w >> 24], 0) ^ td(kTables.sbox[(w >> 16) & 0xff], 8) ^
                       td(kTables.sbox[(w >> 8) & 0xff], 16) ^ td(kTables.sbox[w & 0xff], 24);
    }
}

void aesEncryptBlock(const uint32_t* rk, uint32_t roundKeyWords, const uint8_t in[16], uint8_t out[16]) {
    const uint32_t rounds = roundsOf(roundKeyWords);
    uint32_t s0 = load32(in) ^ rk[0], s1 = load32(in + 4) ^ rk[1], s2 = load32(in + 8) ^ rk[2],
             s3 = load32(in + 12) ^ rk[3];
    for (uint32_t r = 1; r < rounds; ++r) {
        rk += 4;
        uint32_t t0 = te(s0 >> 24, 0) ^ te(s1 >> 16, 8) ^ te(s2 >> 8, 16) ^ te(s3, 24) ^ rk[0];
        uint32_t t1 = te(s1 >> 24, 0) ^ te(s2 >> 16, 8) ^ te(s3 >> 8, 16) ^ te(s0, 24) ^ rk[1];
        uint32_t t2 = te(s2 >> 24, 0) ^ te(s3 >> 16, 8) ^ te(s0 >> 8, 16) ^ te(s1, 24) ^ rk[2];
        uint32_t t3 = te(s3 >> 24, 0) ^ te(s0 >> 16, 8) ^ te(s1 >> 8, 16) ^ te(s2, 24) ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 4;
    const uint8_t* S = kTables.sbox;
    auto last = [S](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return (uint32_t(S[a >> 24]) << 24) | (uint32_t(S[(b >> 16) & 0xff]) << 16) |
               (uint32_t(S[(c >> 8) & 0xff]) << 8) | S[d & 0xff];
    };
    store32(out, last(s0, s1, s2, s3) ^ rk[0]);
    store32(out + 4, last(s1, s2, s3, s0) ^ rk[1]);
    store32(out + 8, last(s2, s3, s0, s1) ^ rk[2]);
    store32(out + 12, last(s3, s0, s1, s2) ^ rk[3]);
}

void aesDecryptBlock(const uint32_t* roundKeys, uint32_t roundKeyWords, const uint8_t in[16], uint8_t out[16]) {
    const uint32_t rounds = roundsOf(roundKeyWords);
    const uint32_t* rk = roundKeys + 4 * rounds;
    uint32_t s0 = load32(in) ^ rk[0], s1 = load32(in + 4) ^ rk[1], s2 = load32(in + 8) ^ rk[2],
             s3 = load32(in + 12) ^ rk[3];
    for (uint32_t r = 1; r < rounds; ++r) {
        rk -= 4;
        uint32_t t0 = td(s0 >> 24, 0) ^ td(s3 >> 16, 8) ^ td(s2 >> 8, 16) ^ td(s1, 24) ^ rk[0];
        uint32_t t1 = td(s1 >> 24, 0) ^ td(s0 >> 16, 8) ^ td(s3 >> 8, 16) ^ td(s2, 24) ^ rk[1];
        uint32_t t2 = td(s2 >> 24, 0) ^ td(s1 >> 16, 8) ^ td(s0 >> 8, 16) ^ td(s3, 24) ^ rk[2];
        uint32_t t3 = td(s3 >> 24, 0) ^ td(s2 >> 16, 8) ^ td(s1 >> 8, 16) ^ td(s0, 24) ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk -= 4;
    const uint8_t* Si = kTables.invSbox;
    auto last = [Si](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return (uint32_t(Si[a >> 24]) << 24) | (uint32_t(Si[(b >> 16) & 0xff]) << 16) |
               (uint32_t(Si[(c >> 8) & 0xff]) << 8) | Si[d & 0xff];
    };
    store32(out, last(s0, s3, s2, s1) ^ rk[0]);
    store32(out + 4, last(s1, s0, s3, s2) ^ rk[1]);
    store32(out + 8, last(s2, s1, s0, s3) ^ rk[2]);
    store32(out + 12, last(s3, s2, s1, s0) ^ rk[3]);
}

void xorBytes(uint8_t* target, const uint8_t* source, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) target[i] ^= source[i];
}

void encryptBlockByMechanism(CipherContext* context, uint8_t out[16]) {
    xorBytes(context->chain, context->buffer, 16);
    aesEncryptBlock(context->roundKeys, context->roundKeyWords, context->chain, context->chain);
    std::memcpy(out, context->chain, 16);
}

void decryptBlockByMechanism(CipherContext* context, uint8_t out[16]) {
    uint8_t plain[16];
    aesDecryptBlock(context->roundKeys, context->roundKeyWords, context->buffer, plain);
    xorBytes(plain, context->chain, 16);
    std::memcpy(context->chain, context->buffer, 16);
    std::memcpy(out, plain, 16);
    wipe(plain, sizeof plain);
}

void cipherEncryptInitAes256(CipherContext* context, const uint8_t key[32], const uint8_t iv[16]) {
    context->mechanism = CKM_AES_CBC_PAD;
    context->bufsize = 16;
    context->hold = 0;
    aes256ExpandKey(key, context->roundKeys, &context->roundKeyWords);
    std::memcpy(context->chain, iv, 16);
}

uint32_t cipherDecryptInitAes256(CipherContext* context, const uint8_t key[32]) {
    context->mechanism = CKM_AES_CBC_PAD;
    context->hold = 1;
    context->bufsize = 16;
    aes256ExpandKey(key, context->roundKeys, &context->roundKeyWords);
    aesInvertKeySchedule(context->roundKeys, context->roundKeyWords);
    return CKR_OK;
}

namespace {

// Shared body of both updates; hold is 0 (enciphering) or 1 (deciphering keeps its last block).
uint32_t cipherUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength, uint8_t* output,
                      uint32_t* outputLength, bool decrypt) {
    if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
    if (inputLength == 0) {
        *outputLength = 0;
        return CKR_OK;
    }
    if (!input) return CKR_DATA_INVALID;
    if (context->bufsize == 0) return CKR_OPERATION_NOT_INITIALIZED;
    if (context->Buse > 16) return CKR_ARGUMENTS_BAD;  // a context nobody set up through init

    const uint64_t hold = decrypt ? context->hold : 0;
    const uint64_t total = uint64_t(context->Buse) + inputLength;
    const uint64_t blocks = total > hold ? (total - hold) / 16 : 0;
    // Only an input of nearly 4 GiB could need more than a 32-bit count can say.
    if (blocks * 16 > UINT32_MAX) return CKR_ARGUMENTS_BAD;
    const uint32_t needed = uint32_t(blocks * 16);
    if (!output) {
        *outputLength = needed;
        return CKR_OK;
    }
    if (*outputLength / 16 < blocks) {
        *outputLength = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    *outputLength = needed;

    uint64_t remaining = inputLength;
    while (context->Buse + remaining >= 16 + hold) {
        uint32_t take = 16 - context->Buse;
        std::memcpy(context->buffer + context->Buse, input, take);
        input += take;
        remaining -= take;
        if (decrypt)
            decryptBlockByMechanism(context, output);
        else
            encryptBlockByMechanism(context, output);
        output += 16;
        context->Buse = 0;
    }
    std::memcpy(context->buffer + context->Buse, input, size_t(remaining));
    context->Buse += uint32_t(remaining);
    return CKR_OK;
}

}  // namespace

uint32_t cipherEncryptUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength, uint8_t* output,
                             uint32_t* outputLength) {
    return cipherUpdate(context, input, inputLength, output, outputLength, false);
}

uint32_t cipherDecryptUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength, uint8_t* output,
                             uint32_t* outputLength) {
    return cipherUpdate(context, input, inputLength, output, outputLength, true);
}

uint32_t cipherEncryptFinal(CipherContext* context, uint8_t* output, uint32_t* outputLength) {
    if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
    if (context->bufsize == 0) return CKR_OPERATION_NOT_INITIALIZED;
    if (context->Buse > 15) return CKR_ARGUMENTS_BAD;
    if (!output || *outputLength < 16) {
        uint32_t rc = output ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *outputLength = 16;
        return rc;
    }
    *outputLength = 16;
    const uint8_t pad = uint8_t(16 - context->Buse);
    std::memset(context->buffer + context->Buse, pad, pad);
    encryptBlockByMechanism(context, output);
    wipe(context, sizeof *context);
    return CKR_OK;
}

uint32_t cipherDecryptFinal(CipherContext* context, uint8_t* output, uint32_t* outputLength) {
    if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
    if (context->bufsize == 0) return CKR_OPERATION_NOT_INITIALIZED;
    if (!output || *outputLength < 16) {
        uint32_t rc = output ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *outputLength = 16;
        return rc;
    }
    if (context->Buse != 16) {
        std::printf("p->Buse: %d\n", int(context->Buse));
        std::printf("bufsize: %d\n", int(context->bufsize));
        std::fflush(stdout);
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    decryptBlockByMechanism(context, output);
    const uint8_t pad = output[15];
    if (pad == 0 || pad > 16) return CKR_ENCRYPTED_DATA_INVALID;
    *outputLength = 16u - pad;
    for (uint32_t i = 16u - pad; i < 16; ++i)
        if (output[i] != pad) return CKR_ENCRYPTED_DATA_INVALID;
    wipe(context, sizeof *context);
    return CKR_OK;
}
