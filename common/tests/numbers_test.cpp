#include "common/numbers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "platform/root.h"
#include "platform/test_root.h"

namespace {

// Read through a call: GCC 12 at -O2 with UndefinedBehaviorSanitizer mis-instruments a direct read
// of an extern thread_local right after a call that writes it.
[[gnu::noinline]] static int statusNow() {
    return toolStatus;
}

TEST(ToLong, DigitsOnlyAndLenient) {
    struct Case {
        const char* text;
        bool digitsOnly;
        long value;
        int status;
    } cases[] = {
        {"-5", true, -5, 0},
        {"5-", true, 0, kConversionNotNumber},
        {"99999999999", true, 0, kConversionNotNumber},
        {"2147483647", true, 2147483647L, 0},
        {"-2147483648", true, -2147483647L - 1, 0},
        {"2147483648", false, 0, kConversionNotNumber},
        {"12abc", false, 12, 0},
        {"12abc", true, 0, kConversionNotNumber},
        {"  42", false, 42, 0},
        {"  42", true, 0, kConversionNotNumber},
        {"+7", false, 7, 0},
        {"+7", true, 0, kConversionNotNumber},
        {"", true, 0, kConversionNotNumber},
        {"", false, 0, kConversionNotNumber},
        {"-", true, 0, kConversionNotNumber},
        {"abc", false, 0, kConversionNotNumber},
        {"0021", true, 21, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toLong(c.text, c.digitsOnly), c.value) << c.text << " " << c.digitsOnly;
        EXPECT_EQ(statusNow(), c.status) << c.text << " " << c.digitsOnly;
        EXPECT_EQ(lastConversionFailed(), c.status != 0) << c.text;
    }
    EXPECT_EQ(toLong(nullptr, true), 0);
    EXPECT_EQ(statusNow(), kConversionNullText);
    EXPECT_TRUE(lastConversionFailed());
    toLong("1", true);  // a later success clears the status
    EXPECT_FALSE(lastConversionFailed());
}

TEST(HexToLong, Base16WithOptionalPrefix) {
    EXPECT_EQ(hexToLong("ff"), 255);
    EXPECT_EQ(hexToLong("0x1A"), 26);
    EXPECT_EQ(hexToLong("6578c3a1"), 0x6578c3a1L);
    EXPECT_FALSE(lastConversionFailed());
    EXPECT_EQ(hexToLong("zz"), 0);
    EXPECT_TRUE(lastConversionFailed());
    EXPECT_EQ(hexToLong(nullptr), 0);
    EXPECT_EQ(statusNow(), kConversionNullText);
}

TEST(ToLong, StatusIsPerThread) {
    toLong("x", true);
    ASSERT_TRUE(lastConversionFailed());
    bool otherFailed = true;
    std::thread other([&] {
        toLong("12", true);
        otherFailed = lastConversionFailed();
    });
    other.join();
    EXPECT_FALSE(otherFailed);
    EXPECT_TRUE(lastConversionFailed());
}

TEST(CompareVersion, Cases) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"1.0.21.0630", "1.0.21.0630", 0},
        {"1.0.22", "1.0.21", 1},
        {"1.0.21", "1.0.22", -1},
        {"1.0", "1.0.0", 3},
        {"1.0.x", "1.0.x", 0},
        {"1.0.x", "1.0.y", 2},
        {"1.0.5", "1.0.y", 2},
        {"1..0", "1.2.0", kVersionEmptyPart},
        {"1.2.", "1.2.0", kVersionEmptyPart},
        {"1.0.021", "1.0.21", 0},
        {"1.0.021", "1,0,21", 0},
        {" 1 . 2 ", "1.2", 0},
        {"", "", 0},
        {"", "1", 3},
        {"2.0", "10.0", -1},
        {"1.0.99999999999", "1.0.1", 2},  // out of range: compared as text
    };
    for (const Case& c : cases) EXPECT_EQ(compareVersion(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(compareVersion(nullptr, "1"), kVersionNoInput);
    EXPECT_EQ(compareVersion("1", nullptr), kVersionNoInput);
}

TEST(CompareVersion, LongInputIsCutAt511Characters) {
    std::string a(600, '1');
    std::string b = std::string(511, '1') + "2";
    // Both are one part; a huge number does not convert, so the parts are compared as text
    // after the cut to 511 characters, where they are equal.
    EXPECT_EQ(compareVersion(a.c_str(), b.c_str()), 0);
}

TEST(MakeRandomSID, EightAlphabetCharactersAndSuffix) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        char* id = makeRandomSID();
        ASSERT_NE(id, nullptr);
        std::string text = id;
        free(id);
        ASSERT_EQ(text.size(), 12u) << text;
        EXPECT_EQ(text.substr(8), "_SID");
        for (size_t k = 0; k < 8; ++k) {
            EXPECT_TRUE((text[k] >= '0' && text[k] <= '9') || (text[k] >= 'A' && text[k] <= 'Z')) << text;
        }
        seen.insert(text);
    }
    EXPECT_GT(seen.size(), 45u);  // 36^8 values: repeats would mean the source is not random
}

TEST(FillRandom, FillsTheWholeBuffer) {
    unsigned char a[64] = {0};
    unsigned char b[64] = {0};
    ASSERT_TRUE(fillRandom(a, sizeof a));
    ASSERT_TRUE(fillRandom(b, sizeof b));
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
    int zeros = 0;
    for (unsigned char byte : a) zeros += byte == 0;
    EXPECT_LT(zeros, 16);
    EXPECT_FALSE(fillRandom(nullptr, 4));
}

#ifndef _WIN32
// Only the emulated machine can be told to fail its random source.
TEST(RandomSource, FailureIsReportedNotHidden) {
    platform::TestRoot root;
    platform::setSetting("random", "fail");
    unsigned char bytes[8] = {0};
    EXPECT_FALSE(fillRandom(bytes, sizeof bytes));
    EXPECT_EQ(makeRandomSID(), nullptr) << "no id of zero bytes";
    platform::setSetting("random", "");
    char* id = makeRandomSID();
    EXPECT_NE(id, nullptr);
    free(id);
}
#endif

}  // namespace
