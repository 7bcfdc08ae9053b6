// The per-channel value store through the page's commands, with the machine clock moved forward
// instead of waiting real minutes.
#include "service_harness.h"

#include "common/allowlist.h"
#include "common/result_codes.h"
#include "service/value_store.h"

namespace svc {
namespace {

class ServiceValueStore : public ServiceTest {
  protected:
    std::string sid;
    long long offsetMs = 0;

    void SetUp() override {
        ServiceTest::SetUp();
        start();
        sid = openSession();
    }

    void advanceMinutes(int minutes) {
        offsetMs += 60000LL * minutes;
        platform::setSetting("clock_offset_ms", std::to_string(offsetMs));
    }

    Reply set(const std::string& channel, const std::string& value, const std::string& timeout,
              const std::string& domains = "app.example.test") {
        return post(json({{"SessionId", sid},
                          {"FunctionName", "setTessarionValue"},
                          {"channel", channel},
                          {"domain_list", domains},
                          {"value", value},
                          {"timeout", timeout}}));
    }

    std::string get(const std::string& channel, const std::string& origin = kOrigin) {
        PostOptions o;
        o.origin = origin;
        return post(json({{"SessionId", sid}, {"FunctionName", "getTessarionValue"}, {"channel", channel}}),
                    o)
            .get("result");
    }
};

TEST_F(ServiceValueStore, SameChannelInOtherCaseReplaces) {
    EXPECT_EQ(set("Basket", "one", "0").get("result"), "0");
    EXPECT_EQ(get("basket"), "one");
    EXPECT_EQ(set("BASKET", "two", "5", "other.test").get("result"), "0");
    EXPECT_EQ(get("Basket"), "") << "the domain list was replaced too";
    EXPECT_EQ(get("Basket", "https://other.test"), "two");
    advanceMinutes(6);
    EXPECT_EQ(get("Basket", "https://other.test"), "") << "and the timeout";
}

TEST_F(ServiceValueStore, SeventeenthChannelNeedsRoom) {
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(set("ch" + std::to_string(i), "v" + std::to_string(i), "5").get("result"), "0");
    EXPECT_EQ(set("ch16", "v16", "5").get("result"), "61019");
    EXPECT_EQ(get("ch0"), "v0");

    // Entries without a lifetime give way, all of them, and the newcomer takes the last.
    EXPECT_EQ(set("ch3", "v3", "0").get("result"), "0");
    EXPECT_EQ(set("ch9", "v9", "0").get("result"), "0");
    EXPECT_EQ(set("ch16", "v16", "5").get("result"), "0");
    EXPECT_EQ(get("ch16"), "v16");
    EXPECT_EQ(get("ch3"), "");
    EXPECT_EQ(get("ch9"), "");
    EXPECT_EQ(get("ch15"), "v15");
    // The other cleared entry is free; after it, the table is full again.
    EXPECT_EQ(set("ch17", "v17", "5").get("result"), "0");
    EXPECT_EQ(set("ch18", "v18", "5").get("result"), "61019");
}

TEST_F(ServiceValueStore, LifetimeSlidesWithEveryRead) {
    set("slide", "kept", "5");
    set("forever", "always", "0");
    set("oneMinute", "short", "true");
    set("noTimeout", "plain", "false");
    for (int i = 0; i < 3; ++i) {
        advanceMinutes(4);
        EXPECT_EQ(get("slide"), "kept") << "read " << i;
    }
    EXPECT_EQ(get("oneMinute"), "") << "\"true\" is one minute";
    advanceMinutes(6);
    EXPECT_EQ(get("slide"), "");
    advanceMinutes(60 * 24 * 30);
    EXPECT_EQ(get("forever"), "always");
    EXPECT_EQ(get("noTimeout"), "plain");
}

TEST_F(ServiceValueStore, OriginMustBeOnTheList) {
    set("a", "alpha", "0", ".example.test");
    set("b", "beta", "0", "b.example.test");
    set("none", "nobody", "0", "");
    EXPECT_EQ(get("a"), "alpha");
    EXPECT_EQ(get("b"), "") << "right after a read that succeeded";
    EXPECT_EQ(get("b", "https://b.example.test:8443"), "beta");
    EXPECT_EQ(get("a", "https://example.test"), "");
    EXPECT_EQ(get("none"), "") << "an empty list admits no origin";
}

TEST_F(ServiceValueStore, MissingArgumentsAndUnknownChannels) {
    EXPECT_EQ(post(json({{"SessionId", sid}, {"FunctionName", "getTessarionValue"}})).get("result"), "61005");
    EXPECT_EQ(post(json({{"SessionId", sid},
                         {"FunctionName", "setTessarionValue"},
                         {"channel", "c"},
                         {"domain_list", "x"}}))
                  .get("result"),
              "61005");
    EXPECT_EQ(set("c", "v", "-1").get("result"), "61005");
    EXPECT_EQ(set("c", "", "0").get("result"), "0") << "an empty value counts as present";
    Reply unknown =
        post(json({{"SessionId", sid}, {"FunctionName", "getTessarionValue"}, {"channel", "nothing"}}));
    EXPECT_EQ(unknown.get("result"), "");
    EXPECT_EQ(unknown.values.size(), 1u);
}

TEST_F(ServiceValueStore, WithoutSessionTheCommandGoesToTheAdapter) {
    auto request = opening("setTessarionValue");
    request.push_back({"channel", "c"});
    Reply r = post(json(request));
    EXPECT_EQ(r.get("result"), "setTessarionValue:1");
    EXPECT_TRUE(r.has("SessionID"));
}

// A machine whose random source fails: the service issues no session id (a fixed one would be
// guessable) and keeps no value (there is no key to encipher it), and says so instead of "0".
class ServiceWithoutRandomBytes : public ServiceValueStore {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        platform::setSetting("random", "fail");
        start();
        sid = "PAGE_OWN_ID";
    }
};

TEST_F(ServiceWithoutRandomBytes, RefusesIdsAndValuesUntilTheSourceAnswers) {
    EXPECT_TRUE(logHas("TessarionValue key: Fail"));
    Reply issued = post(json(opening("TessarionEcho")));
    EXPECT_EQ(issued.get("result"), "61001") << issued.body;
    EXPECT_FALSE(issued.has("SessionID"));
    EXPECT_FALSE(fs::exists(sessionCopy(0))) << "no session without an id";
    EXPECT_TRUE(logHas("Random session id: Fail"));

    // A page's own id needs no random bytes: its session opens, but no value is kept.
    auto own = opening("TessarionEcho");
    own.push_back({"SessionId", sid});
    ASSERT_EQ(post(json(own)).get("result"), "0");
    EXPECT_EQ(set("c", "secret", "0").get("result"), "61001");
    EXPECT_EQ(get("c"), "");

    platform::setSetting("random", "");
    EXPECT_EQ(set("c", "secret", "0").get("result"), "0");
    EXPECT_EQ(get("c"), "secret");
    EXPECT_TRUE(std::regex_match(openSession(), std::regex("[0-9A-Z]{8}_SID")));
}

// The store checks an origin on a list of its own: the allow-list's process-wide list and flag are
// as they were after every read, whatever they held, and never admit an origin into the store.
TEST(ValueStoreOwnList, ReadsLeaveTheSharedAllowListAsItWas) {
    platform::TestRoot root;
    ASSERT_EQ(setValueEntry("c", "app.example.test", 0, "kept"), kResultOk);
    for (unsigned char unlocked : {0, 1}) {
        setUnlockURL("other.test");
        urlUnlocked = unlocked;
        const std::vector<std::string> list = urlCheckList;
        char* admitted = getValueEntry("c", kOrigin);
        char* refused = getValueEntry("c", "https://other.test");
        EXPECT_STREQ(admitted, "kept");
        EXPECT_STREQ(refused, "") << "the shared list admits no origin into the store";
        EXPECT_EQ(urlCheckList, list);
        EXPECT_EQ(urlUnlocked, unlocked);
        free(admitted);
        free(refused);
    }
    for (int i = 0; i < kValueEntryCount; ++i) clearValueEntry(i);
    urlCheckList.clear();
    urlUnlocked = 0;
}

}  // namespace
}  // namespace svc
