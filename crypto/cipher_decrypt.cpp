// The deciphering half of the engine (all the adapter library needs): the equivalent inverse
// cipher and the CBC-PAD update and final with the padding check.
#include <cstdio>
#include <cstring>

#include "crypto/aes_core.h"
#include "crypto/cipher_engine.h"

using namespace aes_detail;

void aesInvertKeySchedule(uint32_t* roundKeys, uint32_t roundKeyWords) {
    // InvMixColumns on every round key but the first and the last; dec[sbox[x]] is
    // InvMixColumns of a column holding x in its top byte.
    for (uint32_t i = 4; i + 4 < roundKeyWords; ++i) {
        uint32_t w = roundKeys[i];
        roundKeys[i] = td(kTables.sbox[w >> 24], 0) ^ td(kTables.sbox[(w >> 16) & 0xff], 8) ^
                       td(kTables.sbox[(w >> 8) & 0xff], 16) ^ td(kTables.sbox[w & 0xff], 24);
    }
}

void aesDecryptBlock(const uint32_t* roundKeys, uint32_t roundKeyWords, const uint8_t in[16],
                     uint8_t out[16]) {
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

void decryptBlockByMechanism(CipherContext* context, uint8_t out[16]) {
    uint8_t plain[16];
    aesDecryptBlock(context->roundKeys, context->roundKeyWords, context->buffer, plain);
    xorBytes(plain, context->chain, 16);
    std::memcpy(context->chain, context->buffer, 16);
    std::memcpy(out, plain, 16);
    wipeBytes(plain, sizeof plain);
}

uint32_t cipherDecryptInitAes256(CipherContext* context, const uint8_t key[32]) {
    context->mechanism = CKM_AES_CBC_PAD;
    context->hold = 1;
    context->bufsize = 16;
    aes256ExpandKey(key, context->roundKeys, &context->roundKeyWords);
    aesInvertKeySchedule(context->roundKeys, context->roundKeyWords);
    return CKR_OK;
}

uint32_t cipherDecryptUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength,
                             uint8_t* output, uint32_t* outputLength) {
    return runUpdate(context, input, inputLength, output, outputLength, context ? context->hold : 0,
                     decryptBlockByMechanism);
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
    wipeBytes(context, sizeof *context);
    return CKR_OK;
}
