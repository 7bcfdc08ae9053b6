#include "crypto/aes_value.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/tests/cbc_reference.h"
#include "test_support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

using cbc_reference::gnutlsCbc;
using cbc_reference::pkcs7;

class AesValue : public testing::Test {
  protected:
    void SetUp() override {
        std::mt19937 rng(99);
        for (auto& b : valueKey) b = uint8_t(rng());
        for (auto& b : valueIv) b = uint8_t(rng());
    }
    Bytes encrypt(const std::string& text) {
        int32_t length = -1;
        unsigned char* cipher = aesEncryptText(text.c_str(), &length);
        EXPECT_NE(cipher, nullptr);
        if (!cipher) return {};
        Bytes out(cipher, cipher + length);
        std::free(cipher);
        return out;
    }
    // NULL as "<null>", so failures read well in the expectations.
    static std::string decrypt(const Bytes& cipher, const uint8_t* key = valueKey,
                               const uint8_t* iv = valueIv) {
        char* text = aesDecryptText(cipher.data(), int32_t(cipher.size()), key, iv);
        std::string out = text ? text : "<null>";
        std::free(text);
        return out;
    }
};

TEST_F(AesValue, CiphertextFormatAndSizes) {
    std::mt19937 rng(5);
    std::vector<std::string> texts = {"", std::string(15, 'x'), std::string(16, 'y'), "a value",
                                      std::string(200, 'z')};
    for (int i = 0; i < 100; ++i) {
        std::string t(rng() % 120, ' ');
        for (auto& c : t) c = char(1 + rng() % 255);
        texts.push_back(t);
    }
    for (const auto& text : texts) {
        const Bytes cipher = encrypt(text);
        const size_t L = 15 + text.size();
        EXPECT_EQ(cipher.size(), ((L + 1) / 16 + 1) * 16) << text.size();
        // The plaintext is the prefix, the text and its NUL, padded by PKCS#7.
        std::string plain = "TessarionAESCBC" + text;
        Bytes expected(plain.begin(), plain.end());
        expected.push_back(0);
        EXPECT_EQ(cipher, gnutlsCbc(valueKey, valueIv, pkcs7(expected), true)) << text.size();
        EXPECT_EQ(decrypt(cipher), text);
    }
    EXPECT_EQ(encrypt("").size(), 32u);
    EXPECT_EQ(encrypt(std::string(15, 'a')).size(), 32u);
    EXPECT_EQ(encrypt(std::string(16, 'a')).size(), 48u);
}

TEST_F(AesValue, NullLengthSlotStillGivesTheCiphertext) {
    unsigned char* cipher = aesEncryptText("abc", nullptr);
    ASSERT_NE(cipher, nullptr);
    EXPECT_EQ(decrypt(Bytes(cipher, cipher + 32)), "abc");
    std::free(cipher);
}

TEST_F(AesValue, PrefixIsRemovedOnlyWhenPresent) {
    LogCapture log;
    ASSERT_TRUE(log.working());
    EXPECT_EQ(decrypt(encrypt("secret")), "secret");
    EXPECT_TRUE(log.has("[Normal] AES: Remove prefix")) << log.text();

    // Made elsewhere without the prefix, under another key: deciphered unchanged, no record.
    LogCapture other;
    ASSERT_TRUE(other.working());
    uint8_t key[32], iv[16];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(200 - i);
    for (int i = 0; i < 16; ++i) iv[i] = uint8_t(i * 7);
    struct Case {
        std::string plain;
        std::string expected;
    };
    const Case cases[] = {
        {"hello", "hello"},                                              // one 16-byte block
        {std::string("no terminator here!"), "no terminator here!"},     // ends at the zero fill
        {std::string("cut\0after", 9), "cut"},                           // ends at the first NUL
        {"tessarionAESCBCcase differs", "tessarionAESCBCcase differs"},  // prefix test is exact
        {"TessarionAESCB", "TessarionAESCB"},                            // one character short
    };
    for (const auto& c : cases) {
        const Bytes cipher = gnutlsCbc(key, iv, pkcs7(Bytes(c.plain.begin(), c.plain.end())), true);
        EXPECT_EQ(decrypt(cipher, key, iv), c.expected);
    }
    EXPECT_EQ(decrypt(gnutlsCbc(key, iv, pkcs7(Bytes{'h', 'i'}), true), key, iv), "hi");
    EXPECT_FALSE(other.has("Remove prefix")) << other.text();
}

TEST_F(AesValue, RefusesBadInputWithRecords) {
    const Bytes good = encrypt("payload of two blocks");
    Bytes damaged = good;
    damaged.back() ^= 0x5A;  // the last block now deciphers to noise: its padding fails
    uint8_t wrongKey[32];
    std::memcpy(wrongKey, valueKey, 32);
    wrongKey[0] ^= 1;
    struct Case {
        const char* name;
        const unsigned char* data;
        int32_t length;
        const uint8_t* key;
        const uint8_t* iv;
        const char* record;
    };
    const Case cases[] = {
        {"null text", nullptr, 32, valueKey, valueIv, "Parameter inputText is null at AES 147"},
        {"null key", good.data(), 32, nullptr, valueIv, "Parameter inputKey is null at AES 148"},
        {"null key and IV", good.data(), 32, nullptr, nullptr, "Parameter inputKey is null at AES 148"},
        {"null IV", good.data(), 32, valueKey, nullptr, "Parameter inputIV is null at AES 149"},
        {"empty", good.data(), 0, valueKey, valueIv, "at 171 line in AES"},
        {"15 bytes", good.data(), 15, valueKey, valueIv, "Error code 65 = 0x41 at 171 line in AES"},
        {"20 bytes", good.data(), 20, valueKey, valueIv, "at 171 line in AES"},
        {"negative length", good.data(), -16, valueKey, valueIv, "at 171 line in AES"},
        {"damaged last block", damaged.data(), int32_t(damaged.size()), valueKey, valueIv,
         "Error code 64 = 0x40 at 171 line in AES"},
        {"wrong key", good.data(), int32_t(good.size()), wrongKey, valueIv,
         "Error code 64 = 0x40 at 171 line in AES"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        ASSERT_TRUE(log.working()) << c.name;
        testing::internal::CaptureStdout();  // the engine's report of a bad length
        char* text = aesDecryptText(c.data, c.length, c.key, c.iv);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(text, nullptr) << c.name;
        std::free(text);
        EXPECT_TRUE(log.has(c.record)) << c.name << "\n" << log.text();
        // With both missing only the key is reported.
        if (!c.key) {
            EXPECT_FALSE(log.has("inputIV")) << c.name;
        }
    }

    LogCapture log;
    ASSERT_TRUE(log.working());
    EXPECT_EQ(aesEncryptText(nullptr, nullptr), nullptr);
    EXPECT_TRUE(log.has("Parameter inputText is null at AES 93")) << log.text();
}

TEST_F(AesValue, ThreadsEncipherAndDecipherAtTheSameTime) {
    // The service's request threads call both operations at once.
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 300; ++i) {
                const std::string text =
                    "value " + std::to_string(t) + "/" + std::string(size_t(i % 40), 'v');
                int32_t length = 0;
                unsigned char* cipher = aesEncryptText(text.c_str(), &length);
                char* plain = cipher ? aesDecryptText(cipher, length, valueKey, valueIv) : nullptr;
                if (plain && text == plain) ++good[t];
                std::free(plain);
                std::free(cipher);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(good[t], 300) << "thread " << t;
}

}  // namespace
