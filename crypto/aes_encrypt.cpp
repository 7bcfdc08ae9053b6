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

namespace {

// "TessarionAESCBC" + the text + NUL in a new zero-filled block of prefixedSize bytes.
char* prefixedText(const char* inputText, size_t textLength, size_t prefixedSize) {
    char* prefixed = static_cast<char*>(std::calloc(prefixedSize, 1));
    if (!prefixed) return nullptr;
    std::memcpy(prefixed, kPrefix, kPrefixLength);
    std::memcpy(prefixed + kPrefixLength, inputText, textLength);
    return prefixed;
}

// Enciphers length bytes of plain into cipher (cipherSize bytes) under the value key, count
// getting the ciphertext's length; false when the engine refuses, the failed step reported.
bool encipherInto(const char* plain, size_t length, unsigned char* cipher, size_t cipherSize,
                  uint32_t& count) {
    EngineRun run;
    cipherEncryptInitAes256(&run.context, valueKey, valueIv);
    uint32_t updateCount = uint32_t(cipherSize);
    uint32_t finalCount = 0;
    run.step(123, [&] {
        return cipherEncryptUpdate(&run.context, reinterpret_cast<const uint8_t*>(plain), uint32_t(length),
                                   cipher, &updateCount);
    });
    run.step(126, [&] {
        finalCount = uint32_t(cipherSize) - updateCount;
        return cipherEncryptFinal(&run.context, cipher + updateCount, &finalCount);
    });
    count = updateCount + finalCount;
    return run.finish();
}

}  // namespace

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
    char* prefixed = prefixedText(inputText, textLength, prefixedSize);
    if (!prefixed) {
        reportAllocFail(kSource, 100);
        return nullptr;
    }
    const size_t L = kPrefixLength + textLength;
    const size_t cipherSize = ((L + 1) / 16 + 1) * 16;
    unsigned char* cipher = static_cast<unsigned char*>(std::calloc(cipherSize, 1));
    if (!cipher) {
        reportAllocFail(kSource, 110);
        wipeAndFree(prefixed, prefixedSize);
        return nullptr;
    }
    uint32_t count = 0;
    bool enciphered = encipherInto(prefixed, L + 1, cipher, cipherSize, count);
    // The plaintext copy holds the caller's secret text; clear it rather than leave it in the heap.
    wipeAndFree(prefixed, prefixedSize);
    if (!enciphered) {
        std::free(cipher);
        return nullptr;
    }
    if (outLength) *outLength = int32_t(count);
    return cipher;
}
