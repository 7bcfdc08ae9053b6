#include "common/request_values/value_getters.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct MapDeleter {
    void operator()(JsonMap* map) const { freeJsonMap(map); }
};
using MapPtr = std::unique_ptr<JsonMap, MapDeleter>;

struct TextDeleter {
    void operator()(char* text) const { free(text); }
};
using Text = std::unique_ptr<char, TextDeleter>;

std::string str(const Text& text) {
    return text ? std::string(text.get()) : std::string("<NULL>");
}

}  // namespace

TEST(JsonMapGetters, ReadModeTimeoutAndTrueFlags) {
    struct Case {
        const char* value;
        int expected;
    } cases[] = {
        {"TRUE", 1},
        {"false", 0},
        {"12abc", 12},
        {"abc", 0},
        {" -7", -7},
        {"", 0},
        {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        MapPtr map(newJsonMap());
        setJsonValue(map.get(), "tessarionmode", c.value);
        setJsonValue(map.get(), "Timeout", c.value);
        EXPECT_EQ(getModeFlag(map.get()), c.expected) << c.value;
        EXPECT_EQ(getTimeoutFlag(map.get()), c.expected) << c.value;
    }
    MapPtr map(parseJsonMap(R"({"flag":"True","other":"yes"})"));
    ASSERT_TRUE(map);
    EXPECT_EQ(getModeFlag(map.get()), 0);
    EXPECT_EQ(getTimeoutFlag(map.get()), 0);
    EXPECT_TRUE(isJsonFlagTrue(map.get(), "FLAG"));
    EXPECT_FALSE(isJsonFlagTrue(map.get(), "other"));
    EXPECT_FALSE(isJsonFlagTrue(map.get(), "missing"));
    EXPECT_EQ(str(Text(getJsonMapValue(map.get(), "Other"))), "yes");
    EXPECT_EQ(getModeFlag(nullptr), 0);
    EXPECT_FALSE(isJsonFlagTrue(nullptr, "flag"));
    EXPECT_EQ(getJsonMapValue(map.get(), nullptr), nullptr);

    // Two tokens are no pair: nothing to find.
    MapPtr lone(parseJsonMap(R"({"a"})"));
    ASSERT_TRUE(lone);
    EXPECT_EQ(getJsonMapValue(lone.get(), "a"), nullptr);
}
