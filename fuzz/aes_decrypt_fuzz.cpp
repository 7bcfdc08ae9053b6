// Hostile ciphertexts for the value decryption: enciphered request values come from web pages.
// The first 48 bytes are key and IV, the rest is the ciphertext.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/aes_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 48) return 0;
    const unsigned char* key = data;
    const unsigned char* iv = data + 32;
    // An exact-size copy, so a read past the ciphertext shows under AddressSanitizer.
    std::vector<unsigned char> cipher(data + 48, data + size);
    free(aesDecryptText(cipher.data(), static_cast<int32_t>(cipher.size()), key, iv));
    return 0;
}
