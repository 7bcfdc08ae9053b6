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

char* aesDecryptText(const unsigned char* inputText, int32_t length, const unsigned char* inputKey,
                     const unsigned char* inputIV) {
    if (!inputText) {
        reportNullParameter("inputText", kSource, 147);
        return nullptr;
    }
    if (!inputKey) {
        reportNullParameter("inputKey", kSource, 148);
        return nullptr;
    }
    if (!inputIV) {
        reportNullParameter("inputIV", kSource, 149);
        return nullptr;
    }
    // A negative length can never be a ciphertext; refuse it as the final would refuse a bad one.
    if (length < 0) {
        reportEngineError(CKR_ENCRYPTED_DATA_LEN_RANGE, 171);
        return nullptr;
    }
    const size_t outSize = size_t(length) + 1;
    char* output = static_cast<char*>(std::calloc(outSize, 1));
    if (!output) {
        reportAllocFail(kSource, 152);
        return nullptr;
    }
    uint8_t* out = reinterpret_cast<uint8_t*>(output);

    CipherContext context;
    std::memset(&context, 0, sizeof context);
    uint32_t rc = cipherDecryptInitAes256(&context, inputKey);
    int line = 157;
    uint32_t updateCount = 0;
    if (rc == CKR_OK) {
        std::memcpy(context.chain, inputIV, 16);
        updateCount = uint32_t(outSize);
        rc = cipherDecryptUpdate(&context, inputText, uint32_t(length), out, &updateCount);
        line = 167;
    }
    if (rc == CKR_OK) {
        uint32_t finalCount = uint32_t(outSize) - updateCount;
        rc = cipherDecryptFinal(&context, out + updateCount, &finalCount);
        line = 171;
        // The final leaves the pad bytes in the buffer; the text must end where the plaintext does.
        if (rc == CKR_OK) std::memset(out + updateCount + finalCount, 0, outSize - updateCount - finalCount);
    }
    wipeBytes(&context, sizeof context);
    if (rc != CKR_OK) {
        reportEngineError(rc, line);
        wipeAndFree(output, outSize);
        return nullptr;
    }

    if (std::strncmp(output, kPrefix, kPrefixLength) != 0) return output;

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
