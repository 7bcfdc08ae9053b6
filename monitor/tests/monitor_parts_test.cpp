// Parts of the monitor with no face on the desktop: the key-sequence records and the settings
// text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "monitor/monitor.h"

namespace {

TEST(CheatCodeRecord, TakesCodesUpToTheFirstZeroAndRefusesMoreThan63) {
    EXPECT_EQ(initCheatCode(nullptr, 3), nullptr);

    const struct {
        std::vector<int> codes;
        int count;
        int expected;  // -1: refused
    } cases[] = {
        {{0x4B, 0x56, 0x4C}, 3, 3},           {{0x4B, 0, 0x4C}, 3, 1},
        {{0x4B, 0x56, 0x4C}, 2, 2},           {std::vector<int>(63, 0x41), 63, 63},
        {std::vector<int>(64, 0x41), 64, -1}, {std::vector<int>(70, 0x41), 70, -1},
    };
    for (auto& c : cases) {
        cheatCodeRecord* r = initCheatCode(c.codes.data(), c.count);
        if (c.expected < 0) {
            EXPECT_EQ(r, nullptr) << c.count;
            continue;
        }
        ASSERT_NE(r, nullptr) << c.count;
        EXPECT_EQ(r->count, c.expected);
        for (int i = 0; i < r->count; ++i) EXPECT_EQ(r->codes[i], c.codes[(size_t)i]);
        EXPECT_EQ(r->action, toggleDebugMode);
        free(r);
    }
}

TEST(ConfigText, ThreeLinesInTheFixedOrderFromTheFlags) {
    isScreenShot = 1;
    silentmode = 0;
    autocheckupdate = 0;
    char* text = buildConfigText();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "isScreenShot=true\nsilentmode=false\nautocheckupdate=false\n");
    free(text);
}

}  // namespace
