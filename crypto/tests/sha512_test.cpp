#include "crypto/sha512.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

namespace {

std::string hexOf(const char* text) {
    char* hex = sha512Hex(text);
    std::string out = hex ? hex : "<null>";
    std::free(hex);
    return out;
}

std::string upperHex(const unsigned char* bytes, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string gnutlsHex(const std::string& data) {
    unsigned char digest[64];
    EXPECT_EQ(gnutls_hash_fast(GNUTLS_DIG_SHA512, data.data(), data.size(), digest), 0);
    return upperHex(digest, sizeof digest);
}

std::string lower(std::string s) {
    for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(Sha512, PublishedVectors) {
    struct Case {
        std::string text;
        const char* digest;  // as published, lower case
    };
    const Case cases[] = {
        {"",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f"
         "63b931bd47417a81a538327af927da3e"},
        {"abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feeb"
         "bd454d4423643ce80e2a9ac94fa54ca49f"},
        // The two-block example: 112 bytes, exactly where the length no longer fits the first block.
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmn"
         "opqrstnopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7"
         "d329eeb6dd26545e96e55b874be909"},
        {std::string(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31be"
         "b009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto& c : cases) {
        const std::string hex = hexOf(c.text.c_str());
        EXPECT_EQ(lower(hex), c.digest) << "length " << c.text.size();
        // Always 128 digits, upper case only.
        ASSERT_EQ(hex.size(), 128u);
        EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << hex;
    }
}

TEST(Sha512, PaddingBoundariesMatchGnutls) {
    // Every length around one and two blocks, with the boundaries 111, 112, 127, 128 among them.
    std::string text;
    for (size_t length = 0; length <= 300; ++length) {
        EXPECT_EQ(hexOf(text.c_str()), gnutlsHex(text)) << "length " << length;
        text += char('!' + length % 90);
    }
}

TEST(Sha512, RandomTextsInRandomPiecesMatchGnutls) {
    std::mt19937 rng(20261210);
    for (int round = 0; round < 200; ++round) {
        std::string data(rng() % 2000, '\0');
        for (auto& c : data) c = char(1 + rng() % 255);
        EXPECT_EQ(hexOf(data.c_str()), gnutlsHex(data));

        // The same bytes fed in random pieces: partial blocks must be completed before whole ones.
        Sha512Context context{};
        sha512Init(&context);
        size_t at = 0;
        while (at < data.size()) {
            size_t piece = std::min<size_t>(data.size() - at, rng() % 300);
            sha512Update(&context, reinterpret_cast<const uint8_t*>(data.data()) + at, piece);
            at += piece;
        }
        uint8_t digest[64];
        sha512Finish(&context, digest);
        EXPECT_EQ(upperHex(digest, 64), gnutlsHex(data)) << "length " << data.size();
    }
}

TEST(Sha512, ByteCountCarriesAcrossWords) {
    Sha512Context context{};
    sha512Init(&context);
    context.byteCount[0] = 0xFFFFFF80u;  // a whole number of blocks, 128 bytes short of 2^32
    uint8_t block[128] = {};
    sha512Update(&context, block, 128);
    EXPECT_EQ(context.byteCount[0], 0u);
    EXPECT_EQ(context.byteCount[1], 1u);

    context.byteCount[0] = 0xFFFFFF80u;
    context.byteCount[1] = 0xFFFFFFFFu;
    sha512Update(&context, block, 128);
    EXPECT_EQ(context.byteCount[0], 0u);
    EXPECT_EQ(context.byteCount[1], 0u);
    EXPECT_EQ(context.byteCount[2], 1u);
    EXPECT_EQ(context.byteCount[3], 0u);
}

TEST(Sha512, NullTextGivesNull) {
    EXPECT_EQ(sha512Hex(nullptr), nullptr);
}

TEST(Sha512, HexEncodingIsHighNibbleFirst) {
    uint8_t digest[64];
    for (int i = 0; i < 64; ++i) digest[i] = uint8_t(i * 4 + 0x0A);
    char* hex = hexEncodeDigest(digest);
    ASSERT_NE(hex, nullptr);
    EXPECT_EQ(std::string(hex), upperHex(digest, 64));
    EXPECT_EQ(std::string(hex, 4), "0A0E");
    std::free(hex);
}

}  // namespace
