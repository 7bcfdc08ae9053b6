// Two caller sessions of the service, each with its own copy of the real adapter, both driving the
// registered stand-in component: what one session does to its adapter leaves the other alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "component/signing_component.h"
#include "platform/win_com.h"
#include "service/tests/service_harness.h"

namespace {

namespace fs = std::filesystem;
using svc::json;
using svc::post;
using svc::Reply;

class TwoSessionsTest : public svc::ServiceTest {
  protected:
    void SetUp() override {
        svc::ServiceTest::SetUp();
        ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY));
    }

    std::vector<std::string> componentJournal() const {
        std::vector<std::string> lines;
        std::ifstream in(root.path() + "/component/journal.txt");
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }

    // P11Init answers 1000 from the stand-in and journals its one text argument.
    static std::string p11Init(const std::string& sessionId, const std::string& library,
                               const std::vector<std::pair<std::string, std::string>>& more = {}) {
        std::vector<std::pair<std::string, std::string>> keys;
        if (sessionId.empty())
            keys = opening("P11Init");
        else
            keys = {{"SessionId", sessionId}, {"FunctionName", "P11Init"}};
        keys.push_back({"strLoadLibName", library});
        keys.insert(keys.end(), more.begin(), more.end());
        return json(keys);
    }
};

TEST_F(TwoSessionsTest, ReleaseThroughOneSessionLeavesTheOtherAnswering) {
    start();
    Reply a = post(p11Init("", "first.so"));
    ASSERT_EQ(a.get("result"), "1000") << a.body;
    Reply b = post(p11Init("", "second.so"));
    ASSERT_EQ(b.get("result"), "1000") << b.body;
    std::string idA = a.get("SessionID"), idB = b.get("SessionID");
    ASSERT_NE(idA, idB);
    // Two loaded copies, one per session folder.
    EXPECT_TRUE(fs::exists(sessionCopy(0)));
    EXPECT_TRUE(fs::exists(sessionCopy(1)));

    // The release runs by its index whatever the name says; the session itself stays open.
    Reply released = post(p11Init(idA, "released.so", {{"TessarionFunctionIndex", "-3"}}));
    EXPECT_TRUE(released.replied);
    EXPECT_EQ(released.get("result"), "");
    EXPECT_TRUE(fs::exists(sessionCopy(0)));

    size_t before = componentJournal().size();
    EXPECT_EQ(post(p11Init(idA, "after-release.so")).get("result"), "61908");
    EXPECT_EQ(componentJournal().size(), before) << "a locked adapter must not reach the component";

    Reply other = post(p11Init(idB, "other.so"));
    EXPECT_EQ(other.get("result"), "1000") << other.body;
    auto lines = componentJournal();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), "P11Init\tbstr:\"other.so\"");

    // The released session comes back after a new unlock from an allowed origin, and B is untouched.
    Reply unlock = post(json({{"SessionId", idA},
                              {"FunctionName", "Tessarion_Unlock"},
                              {"TessarionFunctionIndex", "-2"},
                              {"url", svc::kOrigin}}));
    EXPECT_EQ(unlock.get("result"), "0") << unlock.body;
    EXPECT_EQ(post(p11Init(idA, "again.so")).get("result"), "1000");
    EXPECT_EQ(post(p11Init(idB, "still.so")).get("result"), "1000");
    lines = componentJournal();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "P11Init\tbstr:\"again.so\"");
    EXPECT_EQ(lines.back(), "P11Init\tbstr:\"still.so\"");
}

TEST_F(TwoSessionsTest, OriginOutsideTheAllowListOpensNoSession) {
    start();
    svc::PostOptions o;
    o.origin = "https://app.example.org";
    Reply r = post(p11Init("", "refused.so"), o);
    EXPECT_EQ(r.get("result"), "61908") << r.body;
    EXPECT_FALSE(r.has("SessionID"));
    EXPECT_TRUE(componentJournal().empty());
    EXPECT_FALSE(fs::exists(sessionCopy(0))) << "a refused session leaves no copy behind";
}

}  // namespace
