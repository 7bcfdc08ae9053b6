// The enciphering half of the engine: AES rounds forward and the CBC-PAD update and final.
#include <cstring>

#include "crypto/aes_core.h"
#include "crypto/cipher_engine.h"

using namespace aes_detail;

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

void encryptBlockByMechanism(CipherContext* context, uint8_t out[16]) {
    xorBytes(context->chain, context->buffer, 16);
    aesEncryptBlock(context->roundKeys, context->roundKeyWords, context->chain, context->chain);
    std::memcpy(out, context->chain, 16);
}

void cipherEncryptInitAes256(CipherContext* context, const uint8_t key[32], const uint8_t iv[16]) {
    context->mechanism = CKM_AES_CBC_PAD;
    context->bufsize = 16;
    context->hold = 0;
    aes256ExpandKey(key, context->roundKeys, &context->roundKeyWords);
    std::memcpy(context->chain, iv, 16);
}

uint32_t cipherEncryptUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength,
                             uint8_t* output, uint32_t* outputLength) {
    return runUpdate(context, input, inputLength, output, outputLength, 0, encryptBlockByMechanism);
}

uint32_t cipherEncryptFinal(CipherContext* context, uint8_t* output, uint32_t* outputLength) {
    if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
    if (context->bufsize == 0) return CKR_OPERATION_NOT_INITIALIZED;
    if (context->Buse > 15) return CKR_ARGUMENTS_BAD;  // not a context set up by init
    if (!output || *outputLength < 16) {
        uint32_t rc = output ? CKR_BUFFER_TOO_SMALL : CKR_OK;
        *outputLength = 16;
        return rc;
    }
    *outputLength = 16;
    const uint8_t pad = uint8_t(16 - context->Buse);
    std::memset(context->buffer + context->Buse, pad, pad);
    encryptBlockByMechanism(context, output);
    wipeBytes(context, sizeof *context);
    return CKR_OK;
}
