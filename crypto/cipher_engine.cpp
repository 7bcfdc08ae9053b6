// What both directions of the engine share: the AES-256 key expansion (FIPS 197) and the update
// loop of the CBC-PAD mechanism.
#include "crypto/cipher_engine.h"

#include <cstring>

#include "crypto/aes_core.h"

using namespace aes_detail;

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

void xorBytes(uint8_t* target, const uint8_t* source, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) target[i] ^= source[i];
}

uint32_t aes_detail::runUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength,
                               uint8_t* output, uint32_t* outputLength, uint32_t hold,
                               void (*step)(CipherContext*, uint8_t*)) {
    if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
    if (inputLength == 0) {
        *outputLength = 0;
        return CKR_OK;
    }
    if (!input) return CKR_DATA_INVALID;
    if (context->bufsize == 0) return CKR_OPERATION_NOT_INITIALIZED;
    if (context->Buse > 16) return CKR_ARGUMENTS_BAD;  // not a context set up by init

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
    while (context->Buse + remaining >= 16u + hold) {
        const uint32_t take = 16 - context->Buse;
        std::memcpy(context->buffer + context->Buse, input, take);
        input += take;
        remaining -= take;
        step(context, output);
        output += 16;
        context->Buse = 0;
    }
    std::memcpy(context->buffer + context->Buse, input, size_t(remaining));
    context->Buse += uint32_t(remaining);
    return CKR_OK;
}
