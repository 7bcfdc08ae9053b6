// Enciphering values under the process's value key: "TessarionAESCBC" + text + NUL under
// AES-256-CBC with PKCS#7 padding.
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "crypto/aes_value.h"
#include "crypto/aes_value_internal.h"
#include "crypto/cipher_engine.h"

using namespace aes_value_detail;

unsigned char valueKey[32];
unsigned char valueIv[16];

unsigned char* aesEncryptText(const char* inputText, int32_t* outLength) {
    if (!inputText) {
        reportNullParameter("inputText", kSource, 93);
        return nullptr;
    }
    const size_t textLength = std::strlen(inputText);
    // Room for the whole ciphertext must stay countable in the 32-bit length we hand back.
    if (textLength > size_t(INT32_MAX) - 64) {
        reportAllocFail(kSource, 100);
        return nullptr;
    }
    const size_t prefixedSize = textLength + kPrefixLength + 1;
    char* prefixed = static_cast<char*>(std::calloc(prefixedSize, 1));
    if (!prefixed) {
        reportAllocFail(kSource, 100);
        return nullptr;
    }
    std::memcpy(prefixed, kPrefix, kPrefixLength);
    std::memcpy(prefixed + kPrefixLength, inputText, textLength);

    const size_t L = kPrefixLength + textLength;
    const size_t cipherSize = ((L + 1) / 16 + 1) * 16;
    unsigned char* cipher = static_cast<unsigned char*>(std::calloc(cipherSize, 1));
    if (!cipher) {
        reportAllocFail(kSource, 110);
        wipeAndFree(prefixed, prefixedSize);
        return nullptr;
    }

    CipherContext context;
    std::memset(&context, 0, sizeof context);
    cipherEncryptInitAes256(&context, valueKey, valueIv);
    uint32_t updateCount = uint32_t(cipherSize);
    uint32_t rc = cipherEncryptUpdate(&context, reinterpret_cast<const uint8_t*>(prefixed), uint32_t(L + 1),
                                      cipher, &updateCount);
    int line = 123;
    uint32_t finalCount = 0;
    if (rc == CKR_OK) {
        finalCount = uint32_t(cipherSize) - updateCount;
        rc = cipherEncryptFinal(&context, cipher + updateCount, &finalCount);
        line = 126;
    }
    wipeBytes(&context, sizeof context);
    // The plaintext copy holds the caller's secret text; clear it rather than leave it in the heap.
    wipeAndFree(prefixed, prefixedSize);
    if (rc != CKR_OK) {
        reportEngineError(rc, line);
        std::free(cipher);
        return nullptr;
    }
    if (outLength) *outLength = int32_t(updateCount + finalCount);
    return cipher;
}
