// Enciphered values: "TessarionAESCBC" + text + NUL under AES-256-CBC with PKCS#7 padding.
#include "crypto/aes_value.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "crypto/cipher_engine.h"
#include "platform/win_base.h"

unsigned char valueKey[32];
unsigned char valueIv[16];

namespace {

constexpr const char* kSource = "AES";
constexpr char kPrefix[] = "TessarionAESCBC";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;

void wipe(void* p, size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

void wipeAndFreeBuffer(void* p, size_t n) {
    if (!p) return;
    wipe(p, n);
    std::free(p);
}

void reportEngineError(uint32_t code, int line) {
    char text[96];
    std::snprintf(text, sizeof text, "Error code %d = 0x%X at %d line in %s", int(code), unsigned(code), line,
                  kSource);
    logWarning(text, "");
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
        wipeAndFreeBuffer(prefixed, prefixedSize);
        return nullptr;
    }

    CipherContext context;
    std::memset(&context, 0, sizeof context);
    cipherEncryptInitAes256(&context, valueKey, valueIv);
    uint32_t updateCount = uint32_t(cipherSize);
    uint32_t rc = cipherEncryptUpdate(&context, reinterpret_cast<const uint8_t*>(prefixed), uint32_t(L + 1), cipher,
                                      &updateCount);
    int line = 123;
    uint32_t finalCount = 0;
    if (rc == CKR_OK) {
        finalCount = uint32_t(cipherSize) - updateCount;
        rc = cipherEncryptFinal(&context, cipher + updateCount, &finalCount);
        line = 126;
    }
    wipe(&context, sizeof context);
    // The plaintext copy holds the caller's secret text; clear it rather than leave it in the heap.
    wipeAndFreeBuffer(prefixed, prefixedSize);
    if (rc != CKR_OK) {
        reportEngineError(rc, line);
        std::free(cipher);
        return nullptr;
    }
    if (outLength) *outLength = int32_t(updateCount + finalCount);
    return cipher;
}

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
    wipe(&context, sizeof context);
    if (rc != CKR_OK) {
        reportEngineError(rc, line);
        wipeAndFreeBuffer(output, outSize);
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
    if (!RtlGenRandom(output, ULONG(outSize))) wipe(output, outSize);
    std::free(output);
    return copy;
}
