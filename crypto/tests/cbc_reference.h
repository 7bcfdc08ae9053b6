// Test helper: AES-256-CBC done by GnuTLS without padding, the reference our ciphers are checked
// against, and PKCS#7 padding to go with it.
#pragma once
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace cbc_reference {

inline std::vector<uint8_t> gnutlsCbc(const uint8_t* key, const uint8_t* iv, std::vector<uint8_t> data,
                                      bool encrypt) {
    gnutls_cipher_hd_t h;
    gnutls_datum_t k{const_cast<uint8_t*>(key), 32}, v{const_cast<uint8_t*>(iv), 16};
    EXPECT_EQ(gnutls_cipher_init(&h, GNUTLS_CIPHER_AES_256_CBC, &k, &v), 0);
    if (encrypt)
        EXPECT_EQ(gnutls_cipher_encrypt(h, data.data(), data.size()), 0);
    else
        EXPECT_EQ(gnutls_cipher_decrypt(h, data.data(), data.size()), 0);
    gnutls_cipher_deinit(h);
    return data;
}

inline std::vector<uint8_t> gnutlsCbc(const std::vector<uint8_t>& key, const std::vector<uint8_t>& iv,
                                      std::vector<uint8_t> data, bool encrypt) {
    return gnutlsCbc(key.data(), iv.data(), std::move(data), encrypt);
}

inline std::vector<uint8_t> pkcs7(std::vector<uint8_t> data) {
    const size_t pad = 16 - data.size() % 16;
    data.insert(data.end(), pad, uint8_t(pad));
    return data;
}

}  // namespace cbc_reference
