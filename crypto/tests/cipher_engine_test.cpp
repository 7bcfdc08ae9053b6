#include "crypto/cipher_engine.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/tests/cbc_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// SP 800-38A F.2.5 / F.2.6, CBC-AES256.
const Bytes kKey = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kIv = fromHex("000102030405060708090a0b0c0d0e0f");
const Bytes kPlain = fromHex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
const Bytes kCipher = fromHex(
    "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
    "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");

CipherContext encryptor(const Bytes& key = kKey, const Bytes& iv = kIv) {
    CipherContext c{};
    cipherEncryptInitAes256(&c, key.data(), iv.data());
    return c;
}

CipherContext decryptor(const Bytes& key = kKey, const Bytes& iv = kIv) {
    CipherContext c{};
    EXPECT_EQ(cipherDecryptInitAes256(&c, key.data()), CKR_OK);
    std::memcpy(c.chain, iv.data(), 16);
    return c;
}

// One update and one final, as the value wrapper uses the engine; empty on any error.
Bytes encryptAll(const Bytes& data, const Bytes& key = kKey, const Bytes& iv = kIv) {
    CipherContext c = encryptor(key, iv);
    Bytes out(data.size() + 16);
    uint32_t n = uint32_t(out.size());
    if (cipherEncryptUpdate(&c, data.data(), uint32_t(data.size()), out.data(), &n) != CKR_OK) return {};
    uint32_t f = uint32_t(out.size()) - n;
    if (cipherEncryptFinal(&c, out.data() + n, &f) != CKR_OK) return {};
    out.resize(n + f);
    return out;
}

uint32_t decryptAll(const Bytes& data, Bytes* plain, const Bytes& key = kKey, const Bytes& iv = kIv) {
    CipherContext c = decryptor(key, iv);
    Bytes out(data.size() + 16);
    uint32_t n = uint32_t(out.size());
    uint32_t rc = cipherDecryptUpdate(&c, data.data(), uint32_t(data.size()), out.data(), &n);
    if (rc != CKR_OK) return rc;
    uint32_t f = uint32_t(out.size()) - n;
    rc = cipherDecryptFinal(&c, out.data() + n, &f);
    if (rc != CKR_OK) return rc;
    out.resize(n + f);
    *plain = out;
    return CKR_OK;
}

using cbc_reference::gnutlsCbc;
using cbc_reference::pkcs7;

TEST(CipherEngine, Fips197Aes256Block) {
    const Bytes key = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes plain = fromHex("00112233445566778899aabbccddeeff");
    const Bytes expected = fromHex("8ea2b7ca516745bfeafc49904b496089");
    uint32_t rk[60], words = 0;
    aes256ExpandKey(key.data(), rk, &words);
    EXPECT_EQ(words, 60u);
    uint8_t out[16];
    aesEncryptBlock(rk, words, plain.data(), out);
    EXPECT_EQ(Bytes(out, out + 16), expected);
    aesInvertKeySchedule(rk, words);
    uint8_t back[16];
    aesDecryptBlock(rk, words, out, back);
    EXPECT_EQ(Bytes(back, back + 16), plain);
}

TEST(CipherEngine, Sp80038aCbcVectors) {
    // Enciphering adds one whole pad block behind the four vector blocks.
    const Bytes enc = encryptAll(kPlain);
    ASSERT_EQ(enc.size(), 80u);
    EXPECT_EQ(Bytes(enc.begin(), enc.begin() + 64), kCipher);
    EXPECT_EQ(Bytes(enc.begin() + 64, enc.end()),
              gnutlsCbc(kKey, Bytes(kCipher.end() - 16, kCipher.end()), Bytes(16, 0x10), true));
    // Deciphering the vector's ciphertext: the update gives three blocks and holds the fourth.
    CipherContext c = decryptor();
    Bytes out(80);
    uint32_t n = uint32_t(out.size());
    ASSERT_EQ(cipherDecryptUpdate(&c, kCipher.data(), 64, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 48u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 48), Bytes(kPlain.begin(), kPlain.begin() + 48));
    EXPECT_EQ(c.Buse, 16u);

    Bytes plain;
    ASSERT_EQ(decryptAll(enc, &plain), CKR_OK);
    EXPECT_EQ(plain, kPlain);
}

TEST(CipherEngine, RandomDataMatchesGnutls) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 300; ++round) {
        Bytes key(32), iv(16), data(rng() % 300);
        for (auto& b : key) b = uint8_t(rng());
        for (auto& b : iv) b = uint8_t(rng());
        for (auto& b : data) b = uint8_t(rng());
        const Bytes ours = encryptAll(data, key, iv);
        ASSERT_EQ(ours, gnutlsCbc(key, iv, pkcs7(data), true)) << "length " << data.size();
        Bytes plain;
        ASSERT_EQ(decryptAll(ours, &plain, key, iv), CKR_OK);
        EXPECT_EQ(plain, data);
    }
}

TEST(CipherEngine, PiecewiseUpdatesMatchOneShot) {
    std::mt19937 rng(7);
    Bytes data(1000);
    for (auto& b : data) b = uint8_t(rng());
    const Bytes whole = encryptAll(data);
    for (int round = 0; round < 20; ++round) {
        CipherContext e = encryptor();
        Bytes enc;
        size_t at = 0;
        while (at < data.size()) {
            uint32_t piece = uint32_t(std::min<size_t>(data.size() - at, rng() % 40));
            uint8_t out[64];
            uint32_t n = sizeof out;
            ASSERT_EQ(cipherEncryptUpdate(&e, data.data() + at, piece, out, &n), CKR_OK);
            ASSERT_LE(e.Buse, 15u);
            enc.insert(enc.end(), out, out + n);
            at += piece;
        }
        uint8_t last[16];
        uint32_t n = 16;
        ASSERT_EQ(cipherEncryptFinal(&e, last, &n), CKR_OK);
        enc.insert(enc.end(), last, last + n);
        ASSERT_EQ(enc, whole);

        CipherContext d = decryptor();
        Bytes dec;
        at = 0;
        while (at < enc.size()) {
            uint32_t piece = uint32_t(std::min<size_t>(enc.size() - at, rng() % 40));
            uint8_t out[64];
            uint32_t m = sizeof out;
            ASSERT_EQ(cipherDecryptUpdate(&d, enc.data() + at, piece, out, &m), CKR_OK);
            if (at + piece > 0) {
                ASSERT_GE(d.Buse, 1u);
            }
            dec.insert(dec.end(), out, out + m);
            at += piece;
        }
        n = 16;
        ASSERT_EQ(cipherDecryptFinal(&d, last, &n), CKR_OK);
        dec.insert(dec.end(), last, last + n);
        EXPECT_EQ(dec, data);
    }
}

TEST(CipherEngine, EncryptCountsPerUpdateAndFinal) {
    struct Case {
        uint32_t length, updateWrites, held;
        uint8_t pad;
    };
    const Case cases[] = {{32, 32, 0, 16}, {31, 16, 15, 1}, {16, 16, 0, 16}, {1, 0, 1, 15}, {47, 32, 15, 1}};
    for (const auto& c : cases) {
        Bytes data(c.length, 0xA5);
        CipherContext e = encryptor();
        Bytes out(64);
        uint32_t n = uint32_t(out.size());
        ASSERT_EQ(cipherEncryptUpdate(&e, data.data(), c.length, out.data(), &n), CKR_OK);
        EXPECT_EQ(n, c.updateWrites) << c.length;
        EXPECT_EQ(e.Buse, c.held) << c.length;
        uint32_t f = uint32_t(out.size()) - n;
        ASSERT_EQ(cipherEncryptFinal(&e, out.data() + n, &f), CKR_OK);
        EXPECT_EQ(f, 16u);
        // The last block deciphers (raw, without the engine's padding check) to the PKCS#7 pad.
        const Bytes raw = gnutlsCbc(kKey, kIv, Bytes(out.begin(), out.begin() + n + f), false);
        EXPECT_EQ(Bytes(raw.end() - c.pad, raw.end()), Bytes(c.pad, c.pad)) << c.length;
        // The final wipes the context: a second one is refused.
        EXPECT_EQ(e.bufsize, 0u);
        EXPECT_EQ(cipherEncryptFinal(&e, out.data(), &f), CKR_OPERATION_NOT_INITIALIZED);
    }
}

TEST(CipherEngine, DecryptHoldsTheLastBlockUntilTheFinal) {
    struct Case {
        uint32_t plainLength, updateWrites, finalReports;
    };
    // Ciphertexts of 16, 32 and 48 bytes.
    const Case cases[] = {{0, 0, 0}, {5, 0, 5}, {15, 0, 15}, {16, 16, 0}, {20, 16, 4}, {40, 32, 8}};
    for (const auto& c : cases) {
        const Bytes plain(c.plainLength, 0x3C);
        const Bytes enc = encryptAll(plain);
        CipherContext d = decryptor();
        Bytes out(enc.size() + 1);
        uint32_t n = uint32_t(out.size());
        ASSERT_EQ(cipherDecryptUpdate(&d, enc.data(), uint32_t(enc.size()), out.data(), &n), CKR_OK);
        EXPECT_EQ(n, c.updateWrites) << c.plainLength;
        EXPECT_EQ(d.Buse, 16u);
        uint32_t f = uint32_t(out.size()) - n;
        ASSERT_EQ(cipherDecryptFinal(&d, out.data() + n, &f), CKR_OK);
        EXPECT_EQ(f, c.finalReports) << c.plainLength;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n + f), plain);
        EXPECT_EQ(cipherDecryptFinal(&d, out.data(), &f), CKR_OPERATION_NOT_INITIALIZED);
    }
}

TEST(CipherEngine, DecryptFinalRejectsBadLengthAndPadding) {
    // 20 bytes: one block comes out of the update, 4 stay held; the final refuses and reports.
    Bytes enc = encryptAll(Bytes(20, 1));
    enc.resize(20);
    CipherContext d = decryptor();
    uint8_t out[48];
    uint32_t n = sizeof out;
    ASSERT_EQ(cipherDecryptUpdate(&d, enc.data(), 20, out, &n), CKR_OK);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(d.Buse, 4u);
    uint32_t f = 32;
    testing::internal::CaptureStdout();
    EXPECT_EQ(cipherDecryptFinal(&d, out + 16, &f), CKR_ENCRYPTED_DATA_LEN_RANGE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "p->Buse: 4\nbufsize: 16\n");

    // Blocks whose deciphered tail is no valid pad.
    struct Case {
        const char* name;
        Bytes block;
    };
    Bytes zeroEnd(16, 0), seventeen(16, 17), ff(16, 0xFF), mixed(16, 0x03);
    zeroEnd[15] = 0;
    mixed[13] = 0x04;  // "04 03 03": the third pad byte differs
    Bytes whole16(16, 0x10);
    whole16[0] = 0x0F;
    const Case cases[] = {{"last byte 0", zeroEnd},
                          {"last byte 17", seventeen},
                          {"last byte 255", ff},
                          {"pad bytes differ", mixed},
                          {"16 pad with a wrong first byte", whole16}};
    for (const auto& c : cases) {
        const Bytes cipher = gnutlsCbc(kKey, kIv, c.block, true);
        Bytes plain;
        EXPECT_EQ(decryptAll(cipher, &plain), CKR_ENCRYPTED_DATA_INVALID) << c.name;
    }
}

TEST(CipherEngine, LengthQueriesAndShortBuffersChangeNothing) {
    const Bytes data(40, 0x77);
    const Bytes expected = encryptAll(data);

    CipherContext e = encryptor();
    const CipherContext before = e;
    uint32_t n = 12345;
    ASSERT_EQ(cipherEncryptUpdate(&e, data.data(), 40, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 32u);
    uint8_t small[16];
    n = sizeof small;
    ASSERT_EQ(cipherEncryptUpdate(&e, data.data(), 40, small, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(std::memcmp(&e, &before, sizeof e), 0);
    // Repeating with the announced room succeeds.
    Bytes out(48);
    n = 32;
    ASSERT_EQ(cipherEncryptUpdate(&e, data.data(), 40, out.data(), &n), CKR_OK);
    uint32_t f = 0;
    ASSERT_EQ(cipherEncryptFinal(&e, nullptr, &f), CKR_OK);
    EXPECT_EQ(f, 16u);
    f = 15;
    ASSERT_EQ(cipherEncryptFinal(&e, out.data() + 32, &f), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(f, 16u);
    ASSERT_EQ(cipherEncryptFinal(&e, out.data() + 32, &f), CKR_OK);
    EXPECT_EQ(out, expected);

    CipherContext d = decryptor();
    const CipherContext dBefore = d;
    n = 0;
    ASSERT_EQ(cipherDecryptUpdate(&d, expected.data(), 48, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 32u);
    n = 31;
    ASSERT_EQ(cipherDecryptUpdate(&d, expected.data(), 48, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 32u);
    EXPECT_EQ(std::memcmp(&d, &dBefore, sizeof d), 0);
    n = 32;
    ASSERT_EQ(cipherDecryptUpdate(&d, expected.data(), 48, out.data(), &n), CKR_OK);
    f = 0;
    ASSERT_EQ(cipherDecryptFinal(&d, nullptr, &f), CKR_OK);
    EXPECT_EQ(f, 16u);
    f = 15;  // the final needs 16 bytes of room even though it reports fewer
    ASSERT_EQ(cipherDecryptFinal(&d, out.data() + 32, &f), CKR_BUFFER_TOO_SMALL);
    f = 16;
    ASSERT_EQ(cipherDecryptFinal(&d, out.data() + 32, &f), CKR_OK);
    EXPECT_EQ(f, 8u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 40), data);
}

TEST(CipherEngine, ArgumentAndStateErrors) {
    uint8_t in[16] = {}, out[32];
    uint32_t n = sizeof out;
    CipherContext blank{};
    CipherContext e = encryptor();
    CipherContext d = decryptor();
    for (CipherContext* c : {&e, &d}) {
        auto update = c == &e ? cipherEncryptUpdate : cipherDecryptUpdate;
        EXPECT_EQ(update(nullptr, in, 16, out, &n), CKR_ARGUMENTS_BAD);
        EXPECT_EQ(update(c, in, 16, out, nullptr), CKR_ARGUMENTS_BAD);
        n = 7;
        EXPECT_EQ(update(c, nullptr, 0, out, &n), CKR_OK);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(update(c, nullptr, 16, out, &n), CKR_DATA_INVALID);
        n = sizeof out;
        EXPECT_EQ(update(&blank, in, 16, out, &n), CKR_OPERATION_NOT_INITIALIZED);
        auto final = c == &e ? cipherEncryptFinal : cipherDecryptFinal;
        EXPECT_EQ(final(&blank, out, &n), CKR_OPERATION_NOT_INITIALIZED);
        EXPECT_EQ(final(nullptr, out, &n), CKR_ARGUMENTS_BAD);
        EXPECT_EQ(final(c, out, nullptr), CKR_ARGUMENTS_BAD);
    }
    // An empty ciphertext has nothing held for the final.
    n = sizeof out;
    testing::internal::CaptureStdout();
    EXPECT_EQ(cipherDecryptFinal(&d, out, &n), CKR_ENCRYPTED_DATA_LEN_RANGE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "p->Buse: 0\nbufsize: 16\n");
}

}  // namespace
