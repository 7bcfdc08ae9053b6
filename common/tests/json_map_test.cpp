#include "common/json_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/log_writer.h"
#include "platform/test_root.h"
#include "test_support/log_capture.h"

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

std::string lookup(const JsonMap* map, const char* key) {
    return str(Text(BinarySearchTessarionJsonMap(map, 0, map->count - 1, key)));
}

std::vector<std::string> keysOf(const JsonMap* map) {
    std::vector<std::string> keys;
    for (int i = 0; i < map->count; ++i) keys.push_back(map->entries[i].key);
    return keys;
}

std::string objectOfPairs(int pairs) {
    std::string text = "{";
    for (int i = 0; i < pairs; ++i) {
        if (i > 0) text += ",";
        text += "\"k" + std::to_string(i) + "\":\"v" + std::to_string(i) + "\"";
    }
    return text + "}";
}

}  // namespace

TEST(JsonMapSerialise, WritesOneLineOfBase64ValuesInKeyOrder) {
    MapPtr map(newJsonMap());
    ASSERT_TRUE(map);
    setJsonValue(map.get(), "SessionID", "AB12CD34_SID");
    setJsonResult(map.get(), 0);
    EXPECT_EQ(str(Text(serializeJsonMap(map.get()))),
              R"({"result": "MA==", "SessionID": "QUIxMkNEMzRfU0lE"})");

    // An entry without a value is left out; an empty value is written as an empty text.
    setJsonValue(map.get(), "absent", nullptr);
    setJsonValue(map.get(), "empty", "");
    EXPECT_EQ(str(Text(serializeJsonMap(map.get()))),
              R"({"empty": "", "result": "MA==", "SessionID": "QUIxMkNEMzRfU0lE"})");
}

TEST(JsonMapSerialise, EmptyMapsGiveBraces) {
    MapPtr empty(newJsonMap());
    EXPECT_EQ(str(Text(serializeJsonMap(empty.get()))), "{}");
    setJsonValue(empty.get(), "onlyNull", nullptr);
    EXPECT_EQ(str(Text(serializeJsonMap(empty.get()))), "{}");
    EXPECT_EQ(serializeJsonMap(nullptr), nullptr);
}

TEST(JsonMapOrder, ComparesKeysCaseInsensitivelyWithPrefixesFirst) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"_x", "a", -1},  {"a", "_x", 1},    {"B", "a", 1}, {"B", "c", -1},       {"ab", "abc", -1},
        {"abc", "ab", 1}, {"ABC", "abc", 0}, {"", "a", -1}, {"\xC3\xA9", "z", 1},  // bytes compare unsigned
        {"Z", "[", 1},  // "Z" is compared as "z", which sorts after "["
    };
    for (const Case& c : cases) {
        JsonMapEntry a = {const_cast<char*>(c.a), nullptr, nullptr, 0};
        JsonMapEntry b = {const_cast<char*>(c.b), nullptr, nullptr, 0};
        EXPECT_EQ(compareJsonKey(&a, &b), c.expected) << c.a << " vs " << c.b;
    }
    JsonMapEntry a = {const_cast<char*>("a"), nullptr, nullptr, 0};
    EXPECT_EQ(compareJsonKey(nullptr, &a), 100);
    EXPECT_EQ(compareJsonKey(&a, nullptr), 100);
}

TEST(JsonMapParse, SortsEntriesAndKeepsTheText) {
    const char* text = R"({"b":"1","Z":"2","_x":"3","ab":"4","A":"5"})";
    MapPtr map(parseJsonMap(text));
    ASSERT_TRUE(map);
    EXPECT_EQ(keysOf(map.get()), (std::vector<std::string>{"_x", "A", "ab", "b", "Z"}));
    EXPECT_STREQ(map->text, text);
    EXPECT_EQ(lookup(map.get(), "z"), "2");
    EXPECT_EQ(lookup(map.get(), "AB"), "4");
    EXPECT_EQ(lookup(map.get(), "a"), "5");
    EXPECT_EQ(lookup(map.get(), "c"), "<NULL>");
    EXPECT_EQ(lookup(map.get(), "_"), "<NULL>");
}

TEST(JsonMapParse, KeepsDuplicateKeysAndSetReplacesTheFirst) {
    MapPtr map(parseJsonMap(R"({"SessionId":"one","sessionid":"two","result":"0"})"));
    ASSERT_TRUE(map);
    ASSERT_EQ(map->count, 3);
    EXPECT_EQ(lookup(map.get(), "Result"), "0");

    std::string firstKey = map->entries[1].key, secondKey = map->entries[2].key;
    std::string secondValue = map->entries[2].value;
    setJsonValue(map.get(), "SESSIONID", "three");
    ASSERT_EQ(map->count, 3);
    EXPECT_EQ(map->entries[1].key, firstKey);
    EXPECT_STREQ(map->entries[1].value, "three");
    EXPECT_EQ(map->entries[2].key, secondKey);
    EXPECT_EQ(map->entries[2].value, secondValue);
}

TEST(JsonMapParse, HoldsAtMost128Pairs) {
    std::string full = objectOfPairs(128);
    MapPtr map(parseJsonMap(full.c_str()));
    ASSERT_TRUE(map);
    ASSERT_EQ(map->count, 128);
    // Every key is found by the binary search, whatever its place.
    for (int i = 0; i < 128; ++i) {
        std::string key = "K" + std::to_string(i);
        EXPECT_EQ(lookup(map.get(), key.c_str()), "v" + std::to_string(i)) << key;
    }
    EXPECT_EQ(lookup(map.get(), "k128"), "<NULL>");

    std::string tooMany = objectOfPairs(129);
    EXPECT_EQ(parseJsonMap(tooMany.c_str()), nullptr);
}

TEST(JsonMapParse, FlattensNestedContainersByCountingPairsFromTheEnd) {
    struct Case {
        const char* text;
        std::vector<std::pair<std::string, std::string>> pairs;  // in key order
    } cases[] = {
        {R"({"a":{"b":"c"},"d":"e"})", {{"a", R"({"b":"c"})"}, {"b", "c"}, {"d", "e"}}},
        // An array of odd length shifts the pairing.
        {R"({"a":[1,2,3],"d":"e"})", {{"2", "3"}, {"[1,2,3]", "1"}, {"d", "e"}}},
        // Primitives as written.
        {R"({"n":null,"t":true,"x":-5})", {{"n", "null"}, {"t", "true"}, {"x", "-5"}}},
    };
    for (const Case& c : cases) {
        MapPtr map(parseJsonMap(c.text));
        ASSERT_TRUE(map) << c.text;
        ASSERT_EQ(map->count, static_cast<int>(c.pairs.size())) << c.text;
        for (size_t i = 0; i < c.pairs.size(); ++i) {
            EXPECT_EQ(map->entries[i].key, c.pairs[i].first) << c.text;
            EXPECT_EQ(map->entries[i].value, c.pairs[i].second) << c.text;
        }
    }
}

TEST(JsonMapParse, UnescapesValuesButNotKeys) {
    MapPtr map(parseJsonMap(R"({"q":"x\"y","n":"x\\ny","k\"ey":"v","s":"a\/b"})"));
    ASSERT_TRUE(map);
    EXPECT_EQ(lookup(map.get(), "q"), "x\"y");
    EXPECT_EQ(lookup(map.get(), "n"), "x\\\ny");  // the escape order: \n is undone first
    EXPECT_EQ(lookup(map.get(), "k\\\"ey"), "v");
    EXPECT_EQ(lookup(map.get(), "s"), "a\\/b");
}

TEST(JsonMapParse, RefusesTextsThatAreNoObjectOfPairs) {
    const char* refused[] = {"{}", "", "[", R"({"a":"b")", R"({"a":"\q"})", "}", "{\"a\":\"b\"]"};
    for (const char* text : refused) EXPECT_EQ(parseJsonMap(text), nullptr) << text;
    EXPECT_EQ(parseJsonMap(nullptr), nullptr);

    // Two tokens are no pair but no failure either.
    MapPtr lone(parseJsonMap(R"({"a"})"));
    ASSERT_TRUE(lone);
    EXPECT_EQ(lone->count, 0);
    EXPECT_EQ(BinarySearchTessarionJsonMap(lone.get(), 0, -1, "a"), nullptr);
}

TEST(JsonMapSet, AddsReplacesAndRefusesA129thKey) {
    MapPtr map(newJsonMap());
    for (int i = 0; i < 128; ++i) setJsonValue(map.get(), ("key" + std::to_string(i)).c_str(), "v");
    ASSERT_EQ(map->count, 128);
    setJsonValue(map.get(), "oneTooMany", "x");
    EXPECT_EQ(map->count, 128);
    EXPECT_EQ(lookup(map.get(), "oneTooMany"), "<NULL>");
    // A known key is still replaced in a full map.
    setJsonValue(map.get(), "KEY7", "new");
    EXPECT_EQ(lookup(map.get(), "key7"), "new");
    setJsonValue(map.get(), "key7", nullptr);
    EXPECT_EQ(lookup(map.get(), "key7"), "<NULL>");

    setJsonValue(nullptr, "a", "b");
    setJsonValue(map.get(), nullptr, "b");
    EXPECT_EQ(map->count, 128);
}

TEST(JsonMapLookup, BinaryEntriesGiveACopyOfTheirBytes) {
    MapPtr map(newJsonMap());
    setJsonValue(map.get(), "blob", nullptr);
    setJsonValue(map.get(), "other", "x");
    JsonMapEntry& blob = map->entries[0];
    ASSERT_STREQ(blob.key, "blob");
    blob.binary = static_cast<unsigned char*>(malloc(3));
    memcpy(blob.binary, "\x01\x00\x02", 3);
    blob.binaryLength = 3;
    Text copy(BinarySearchTessarionJsonMap(map.get(), 0, map->count - 1, "BLOB"));
    ASSERT_TRUE(copy);
    EXPECT_EQ(memcmp(copy.get(), "\x01\x00\x02\x00", 4), 0);
    // Binary blocks are never written into a reply.
    EXPECT_EQ(str(Text(serializeJsonMap(map.get()))), R"({"other": "eA=="})");
}

TEST(JsonValue, FindsOneKeyInRawText) {
    struct Case {
        const char* text;
        const char* key;
        const char* expected;  // NULL: not found
    } cases[] = {
        {R"({"From":"a","To":"b"})", "to", "b"},
        {R"({"From":"a","To":"b"})", "FROM", "a"},
        {R"({"From":"a","To":"b"})", "c", nullptr},
        {R"({"m":"a\"b\\n"})", "m", "a\"b\\\\n"},  // only the backslash before a quote goes
        {R"({"a":"b","c"})", "c", nullptr},        // the last token has no value
        {R"({"":"x","k":"y"})", "", nullptr},
        {R"({"a":"b")", "a", nullptr},
        {"", "a", nullptr},
        {R"({"a":{"b":"c"}})", "a", R"({"b":"c"})"},
    };
    for (const Case& c : cases) {
        Text value(getJsonValue(c.text, c.key));
        if (c.expected == nullptr) {
            EXPECT_EQ(value, nullptr) << c.text << " " << c.key;
        } else {
            EXPECT_EQ(str(value), c.expected) << c.text << " " << c.key;
        }
    }
    // 32 pairs are 65 tokens, one more than a message may have.
    std::string big = objectOfPairs(32);
    EXPECT_EQ(getJsonValue(big.c_str(), "k0"), nullptr);
    std::string fits = objectOfPairs(31);
    EXPECT_EQ(str(Text(getJsonValue(fits.c_str(), "k30"))), "v30");
    EXPECT_EQ(getJsonValue(nullptr, "a"), nullptr);
    EXPECT_EQ(getJsonValue("{\"a\":\"b\"}", nullptr), nullptr);
}

// Reads what the log front end writes, from the log files under a fresh root.
class JsonMapLog : public LogFilesTest {
  protected:
    JsonMapLog() : LogFilesTest("C:\\logs\\json.log", "json") {}
};

TEST_F(JsonMapLog, EmptyObjectFailsWithTwoErrorRecords) {
    EXPECT_EQ(parseJsonMap("{}"), nullptr);
    std::string log = logText();
    EXPECT_NE(log.find("[Error] jsmn parse error"), std::string::npos) << log;
    EXPECT_NE(log.find("[Error] Error json: {}"), std::string::npos) << log;
}

TEST_F(JsonMapLog, MissingKeysAreLoggedOnlyInKeyCheckMode) {
    MapPtr map(parseJsonMap(R"({"a":"b"})"));
    ASSERT_TRUE(map);
    EXPECT_EQ(lookup(map.get(), "quietKey"), "<NULL>");
    keyCheckMode = 1;
    EXPECT_EQ(lookup(map.get(), "loudKey"), "<NULL>");
    EXPECT_EQ(lookup(map.get(), "x_TessarionFlag"), "<NULL>");
    EXPECT_EQ(lookup(map.get(), "topuiKey"), "<NULL>");
    keyCheckMode = 0;
    std::string log = logText();
    EXPECT_EQ(log.find("quietKey"), std::string::npos);
    EXPECT_NE(log.find("[Warning] Json map key not found: loudKey"), std::string::npos) << log;
    EXPECT_EQ(log.find("x_TessarionFlag"), std::string::npos);
    EXPECT_EQ(log.find("topuiKey"), std::string::npos);
}
