// Deciphering values under a caller's key and IV, the "TessarionAESCBC" prefix removed when it
// is there. The adapter library needs only this half.
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "crypto/aes_value.h"
#include "crypto/aes_value_internal.h"
#include "crypto/cipher_engine.h"
#include "platform/win_base.h"

using namespace aes_value_detail;

namespace {

// Reports the first argument that cannot be deciphered: a NULL text, key or IV, or a negative
// length, which can never be a ciphertext and is refused as the final refuses a bad one.
bool argumentsUsable(const unsigned char* inputText, int32_t length, const unsigned char* inputKey,
                     const unsigned char* inputIV) {
    if (!inputText) {
        reportNullParameter("inputText", kSource, 147);
        return false;
    }
    if (!inputKey) {
        reportNullParameter("inputKey", kSource, 148);
        return false;
    }
    if (!inputIV) {
        reportNullParameter("inputIV", kSource, 149);
        return false;
    }
    if (length < 0) {
        reportEngineError(CKR_ENCRYPTED_DATA_LEN_RANGE, 171);
        return false;
    }
    return true;
}

// Deciphers length bytes into out (outSize = length + 1 bytes), zeros behind the plaintext; false
// when the engine refuses, the failed step reported.
bool decipherInto(uint8_t* out, size_t outSize, const unsigned char* inputText, int32_t length,
                  const unsigned char* inputKey, const unsigned char* inputIV) {
    EngineRun run;
    uint32_t updateCount = 0;
    run.step(157, [&] { return cipherDecryptInitAes256(&run.context, inputKey); });
    run.step(167, [&] {
        std::memcpy(run.context.chain, inputIV, 16);
        updateCount = uint32_t(outSize);
        return cipherDecryptUpdate(&run.context, inputText, uint32_t(length), out, &updateCount);
    });
    run.step(171, [&] {
        uint32_t finalCount = uint32_t(outSize) - updateCount;
        uint32_t rc = cipherDecryptFinal(&run.context, out + updateCount, &finalCount);
        // The final leaves the pad bytes in the buffer; the text must end where the plaintext does.
        if (rc == CKR_OK) std::memset(out + updateCount + finalCount, 0, outSize - updateCount - finalCount);
        return rc;
    });
    return run.finish();
}

// A new copy of the text behind the prefix; the deciphered buffer is scrambled and freed. When
// the copy cannot be had, the buffer itself is the answer, prefix included.
char* withoutPrefix(char* output, size_t outSize) {
    logNormal("AES: ", "Remove prefix");
    const size_t restLength = std::strlen(output + kPrefixLength);
    char* copy = static_cast<char*>(std::calloc(restLength + 1, 1));
    if (!copy) {
        reportAllocFail(kSource, 177);
        return output;
    }
    std::memcpy(copy, output + kPrefixLength, restLength + 1);
    if (!RtlGenRandom(output, ULONG(outSize))) wipeBytes(output, outSize);
    std::free(output);
    return copy;
}

}  // namespace

char* aesDecryptText(const unsigned char* inputText, int32_t length, const unsigned char* inputKey,
                     const unsigned char* inputIV) {
    if (!argumentsUsable(inputText, length, inputKey, inputIV)) return nullptr;
    const size_t outSize = size_t(length) + 1;
    char* output = static_cast<char*>(std::calloc(outSize, 1));
    if (!output) {
        reportAllocFail(kSource, 152);
        return nullptr;
    }
    if (!decipherInto(reinterpret_cast<uint8_t*>(output), outSize, inputText, length, inputKey, inputIV)) {
        wipeAndFree(output, outSize);
        return nullptr;
    }
    if (std::strncmp(output, kPrefix, kPrefixLength) != 0) return output;
    return withoutPrefix(output, outSize);
}
