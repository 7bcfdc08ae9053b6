#include "common/request_values/value_flags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/json_map.h"
#include "common/request_values/value_getters.h"
#include "common/log.h"
#include "common/log_writer.h"
#include "common/shared_secrets.h"
#include "crypto/aes_value.h"
#include "platform/test_root.h"
#include "test_support/log_capture.h"

namespace {

struct MapDeleter {
    void operator()(JsonMap* map) const { freeJsonMap(map); }
};
using MapPtr = std::unique_ptr<JsonMap, MapDeleter>;

using Pairs = std::vector<std::pair<std::string, std::string>>;

MapPtr mapOf(const Pairs& pairs) {
    MapPtr map(newJsonMap());
    for (const auto& [key, value] : pairs) setJsonValue(map.get(), key.c_str(), value.c_str());
    return map;
}

std::string valueOf(const JsonMap* map, const char* key) {
    char* value = getJsonMapValue(map, key);
    std::string result = value != nullptr ? value : "<NULL>";
    free(value);
    return result;
}

const char kSecret[] = "0123456789abcdef0123456789ABCDEF";  // 32 bytes

// Hex text of text enciphered as a page does it: the AES value wrapper under the share secret's
// first 32 bytes (zero-padded when shorter) and the fixed IV.
std::string encipheredHex(const char* text, const char* secret) {
    unsigned char savedKey[32], savedIv[16];
    memcpy(savedKey, valueKey, 32);
    memcpy(savedIv, valueIv, 16);
    memset(valueKey, 0, 32);
    memcpy(valueKey, secret, std::min<size_t>(strlen(secret), 32));
    memcpy(valueIv, kFixedIv, 16);
    int32_t length = 0;
    unsigned char* cipher = aesEncryptText(text, &length);
    memcpy(valueKey, savedKey, 32);
    memcpy(valueIv, savedIv, 16);
    std::string hex;
    if (cipher == nullptr) return hex;
    static const char digits[] = "0123456789abcdef";
    for (int32_t i = 0; i < length; ++i) {
        hex += digits[cipher[i] >> 4];
        hex += digits[cipher[i] & 15];
    }
    free(cipher);
    return hex;
}

// A record whose text after the prefix ends with text.
bool hasRecord(const std::string& log, const std::string& text) {
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        size_t end = at + text.size();
        if (end == log.size() || log[end] == '\r' || log[end] == '\n') return true;
    }
    return false;
}

}  // namespace

TEST(ValueFlags, EachFlagDecodesAsItSays) {
    const std::string cipher = encipheredHex("secret value", kSecret);
    ASSERT_FALSE(cipher.empty()) << "the AES value wrapper enciphers nothing";
    struct Case {
        const char* name;
        Pairs pairs;  // the value under test is under "K"
        std::string expected;
    } cases[] = {
        {"enciphered",
         {{"K", cipher}, {"K_TessarionEncryptFlag", "TRUE"}, {"Tessarion_share_secret", kSecret}},
         "secret value"},
        {"enciphered without a share secret", {{"K", cipher}, {"K_TessarionEncryptFlag", "true"}}, cipher},
        {"enciphered under another secret",
         {{"K", cipher},
          {"K_TessarionEncryptFlag", "true"},
          {"Tessarion_share_secret", "another secret of 32 bytes.."}},
         cipher},
        {"enciphered, not hex",
         {{"K", "zz"}, {"K_TessarionEncryptFlag", "true"}, {"Tessarion_share_secret", kSecret}},
         "zz"},
        {"asterisks", {{"K", "a*b*"}, {"k_tessarionflag", "true"}}, "a\\b\\"},
        {"slash marker", {{"K", "a==TessarionSlash==b"}, {"K_TessarionSlashFlag", "True"}}, "a\\b"},
        {"url Base64", {{"K", "YWJj"}, {"K_TessarionBase64Flag", "true"}}, "abc"},
        {"url Base64 escaped padding", {{"K", "Zm9vYg%3D%3D"}, {"K_TessarionBase64Flag", "true"}}, "foob"},
        {"flag false", {{"K", "a*b"}, {"K_TessarionFlag", "false"}}, "a*b"},
        {"flag too long to count", {{"K", "a*b"}, {"K_TessarionFlag", "true    "}}, "a*b"},
        {"no flag", {{"K", "a*b==TessarionSlash==YWJj"}}, "a*b==TessarionSlash==YWJj"},
        {"flag of another key", {{"K", "a*b"}, {"KK_TessarionFlag", "true"}}, "a*b"},
    };
    for (const Case& c : cases) {
        MapPtr map = mapOf(c.pairs);
        EXPECT_EQ(valueOf(map.get(), "k"), c.expected) << c.name;
    }
}

TEST(ValueFlags, TheFirstSetFlagDecides) {
    const std::string cipher = encipheredHex("plain", kSecret);
    struct Case {
        const char* name;
        Pairs pairs;
        std::string expected;
    } cases[] = {
        {"decryption before Base64",
         {{"K", cipher},
          {"K_TessarionEncryptFlag", "true"},
          {"K_TessarionBase64Flag", "true"},
          {"Tessarion_share_secret", kSecret}},
         "plain"},
        // A failed decryption gives the raw value, not the next flag's decoding.
        {"failed decryption",
         {{"K", "YWJj"}, {"K_TessarionEncryptFlag", "true"}, {"K_TessarionBase64Flag", "true"}},
         "YWJj"},
        {"trueX does not count",
         {{"K", "YWJj"}, {"K_TessarionEncryptFlag", "trueX"}, {"K_TessarionBase64Flag", "true"}},
         "abc"},
        {"asterisks before the marker",
         {{"K", "a*==TessarionSlash=="}, {"K_TessarionFlag", "true"}, {"K_TessarionSlashFlag", "true"}},
         "a\\==TessarionSlash=="},
        {"marker before Base64",
         {{"K", "YW==TessarionSlash=="}, {"K_TessarionSlashFlag", "true"}, {"K_TessarionBase64Flag", "true"}},
         "YW\\"},
    };
    for (const Case& c : cases) {
        MapPtr map = mapOf(c.pairs);
        EXPECT_EQ(valueOf(map.get(), "K"), c.expected) << c.name;
    }
}

TEST(ValueFlags, ShortShareSecretIsPaddedWithZeros) {
    const std::string cipher = encipheredHex("short key", "abc");
    MapPtr map =
        mapOf({{"K", cipher}, {"K_TessarionEncryptFlag", "true"}, {"Tessarion_share_secret", "abc"}});
    EXPECT_EQ(valueOf(map.get(), "K"), "short key");
}

TEST(ValueFlags, FlagsReachTheGetters) {
    MapPtr map = mapOf({{"TessarionMode", "dHJ1ZQ%3D%3D"},
                        {"TessarionMode_TessarionBase64Flag", "true"},
                        {"timeout", "MzA="},
                        {"timeout_TessarionBase64Flag", "true"},
                        {"enabled", "VFJVRQ"},
                        {"enabled_TessarionBase64Flag", "true"}});
    EXPECT_EQ(getModeFlag(map.get()), 1);
    EXPECT_EQ(getTimeoutFlag(map.get()), 30);
    EXPECT_TRUE(isJsonFlagTrue(map.get(), "enabled"));
}

TEST(ValueFlags, NullArgumentsGiveACopyOrNull) {
    MapPtr map = mapOf({{"K_TessarionFlag", "true"}});
    char* copy = decodeJsonValue(nullptr, "K", "a*b");
    EXPECT_STREQ(copy, "a*b");
    free(copy);
    copy = decodeJsonValue(map.get(), nullptr, "a*b");
    EXPECT_STREQ(copy, "a*b");
    free(copy);
    EXPECT_EQ(decodeJsonValue(map.get(), "K", nullptr), nullptr);
}

TEST(ValueFlags, EncipheredHideFlagDoesNotRecurseThroughTheDump) {
    // Deciphering writes the dump, and the dump reads every key's Hide flag: an enciphered Hide
    // flag must not start the dump again.
    const std::string hidden = encipheredHex("true", kSecret);
    MapPtr map = mapOf({{"K", "v"},
                        {"K_TessarionHide", hidden},
                        {"K_TessarionHide_TessarionEncryptFlag", "true"},
                        {"Tessarion_share_secret", kSecret}});
    logEnabled.store(1);
    EXPECT_TRUE(isJsonFlagTrue(map.get(), "K_TessarionHide"));
    displayParameters(map.get());
    logEnabled.store(0);
}

// Reads what the log front end writes, from the log files under a fresh root.
class ParameterDump : public LogFilesTest {
  protected:
    ParameterDump() : LogFilesTest("C:\\logs\\dump.log", "dump") {}
};

TEST_F(ParameterDump, MasksSecretsAndShowsTessarionKeys) {
    MapPtr map = mapOf({{"Tessarion_share_secret", "s3cret"},
                        {"userPin", "1234"},
                        {"newPw", "abc"},
                        {"Password", "xyz!"},
                        {"myTessarionPin", "999"},
                        {"Account", "alice"},
                        {"Account_TessarionHide", "TRUE"},
                        {"Visible", "plain"},
                        {"EmptyPin", ""}});
    setJsonValue(map.get(), "Nothing", nullptr);
    displayParameters(map.get());
    std::string log = logText();
    const char* expected[] = {
        "[Normal] = DISPLAY PARAMETER ===== start =====",
        "[Normal] Tessarion_share_secret: s3cret",
        "[Normal] userPin: ****",
        "[Normal] newPw: ***",
        "[Normal] Password: ****",
        "[Normal] myTessarionPin: 999",
        "[Normal] Account: *****",
        "[Normal] Account_TessarionHide: TRUE",
        "[Normal] Visible: plain",
        "[Normal] EmptyPin: ",
        "[Normal] Nothing: [empty]",
        "[Normal] = DISPLAY PARAMETER ===== end =====",
    };
    for (const char* record : expected) EXPECT_TRUE(hasRecord(log, record)) << record << "\n" << log;
    for (const char* secret : {"1234", "xyz!", "alice"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    // Records are in index order, between the start and the end record.
    EXPECT_LT(log.find("DISPLAY PARAMETER ===== start"), log.find("Account: "));
    EXPECT_LT(log.find("Account: "), log.find("userPin: "));
    EXPECT_LT(log.find("userPin: "), log.find("DISPLAY PARAMETER ===== end"));
}

TEST_F(ParameterDump, DecryptionWritesTheDump) {
    const std::string cipher = encipheredHex("opened", kSecret);
    MapPtr map =
        mapOf({{"K", cipher}, {"K_TessarionEncryptFlag", "true"}, {"Tessarion_share_secret", kSecret}});
    EXPECT_EQ(valueOf(map.get(), "K"), "opened");
    std::string log = logText();
    EXPECT_NE(log.find("DISPLAY PARAMETER ===== start ====="), std::string::npos) << log;
    EXPECT_NE(log.find("[Normal] find key: Tessarion_share_secret"), std::string::npos) << log;
}

TEST_F(ParameterDump, WritesNothingWhileLoggingIsOff) {
    const std::string before = logText();
    logEnabled.store(0);
    const std::string cipher = encipheredHex("quiet", kSecret);
    MapPtr map = mapOf({{"userPin", "1234"},
                        {"K", cipher},
                        {"K_TessarionEncryptFlag", "true"},
                        {"Tessarion_share_secret", kSecret}});
    displayParameters(map.get());
    EXPECT_EQ(valueOf(map.get(), "K"), "quiet");
    EXPECT_EQ(logText(), before);

    // A NULL map writes only the start and the end record.
    logEnabled.store(1);
    displayParameters(nullptr);
    std::string after = logText().substr(before.size());
    EXPECT_NE(after.find("===== start ====="), std::string::npos);
    EXPECT_NE(after.find("===== end ====="), std::string::npos);
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 2) << after;
}
