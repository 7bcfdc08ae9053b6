// The service with the real adapter KvlbTokenAdapter.dll and the stand-in signing component:
// the adapter's own unlock check decides who may open a session, and component functions reach
// the component through the session's copy.
#include "service_harness.h"

// These cases load the real adapter; a build that does not name it must not pass them by silence.
#ifndef KVLB_REAL_ADAPTER
#error "KVLB_REAL_ADAPTER (the path of the built adapter library) is not defined"
#endif

namespace svc {
namespace {

class ServiceWithAdapter : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        installAdapter(KVLB_REAL_ADAPTER);
        ASSERT_EQ(std::system(KVLB_REGISTER_COMPONENT " >/dev/null"), 0);
        start();
    }
};

TEST_F(ServiceWithAdapter, PagesOfTheCustomerOpenSessionsOthersAreRefused) {
    PostOptions page;
    page.origin = std::string("https://portal.") + KVLB_WEB_DOMAIN;
    Reply r = post(json(opening("TessarionEcho")), page);
    EXPECT_EQ(r.get("result"), "0") << r.body;
    EXPECT_EQ(r.get("LibVersion"), "1,0,20,907");

    PostOptions stranger;
    stranger.origin = "https://elsewhere.test";
    Reply refused = post(json(opening("TessarionEcho")), stranger);
    EXPECT_EQ(refused.get("result"), "61908") << refused.body;
    EXPECT_EQ(refused.values.size(), 1u);
    EXPECT_FALSE(fs::exists(sessionCopy(1))) << "the refused session was released";

    Reply call =
        post(json({{"SessionId", r.get("SessionID")}, {"FunctionName", "GetVersion"}, {"flag", "1"}}), page);
    EXPECT_EQ(call.get("result"), "GetVersion:ok") << call.body;
    EXPECT_NE(readText(root.path() + "/component/journal.txt").find("GetVersion\tint:1\n"),
              std::string::npos);
}

}  // namespace
}  // namespace svc
