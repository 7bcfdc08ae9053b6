// The service as a real browser uses it: headless Chromium loads our test page from a small HTTP
// server on loopback under a host name of the allow-list (mapped to 127.0.0.1 by the browser's
// resolver rules), trusts the service's certificates through an NSS database, and the page opens a
// session with the PathID, unlocks, calls a component function and shows the decoded answer.
#include <memory>
#include <regex>
#include <string>

#include "component/signing_component.h"
#include "e2e/browser_page.h"
#include "platform/root.h"
#include "platform/win_com.h"
#include "service/tests/service_harness.h"

namespace {

class BrowserTest : public svc::ServiceTest {
  protected:
    void SetUp() override {
        // A machine without the browser fails here rather than passing the page paths unseen.
        ASSERT_TRUE(e2e::HeadlessPage::toolsPresent())
            << "chromium and certutil are needed (scripts/install-deps.sh installs them)";
        svc::ServiceTest::SetUp();
        ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY));
        // Listening only now, inside the case's own network, where the browser and the service are.
        browser = std::make_unique<e2e::HeadlessPage>(KVLB_E2E_PAGE_DIR, root.path() + "/browser");
        ASSERT_GT(browser->pagePort(), 0);
        // The service picks one of its two certificates by the Windows version; trust both.
        std::string error;
        ASSERT_TRUE(browser->trust({std::string(KVLB_CERT_DIR) + "/kvlb_ec_cert.pem",
                                    std::string(KVLB_CERT_DIR) + "/kvlb_rsa_cert.pem"},
                                   &error))
            << error;
    }

    // Loads the page from host and returns what its DOM shows once its script has run.
    e2e::Page load(const std::string& host, const std::string& label) {
        e2e::Page p;
        std::string error;
        if (!browser->load(host, svc::kPort1, label, &p, &error)) ADD_FAILURE() << error;
        return p;
    }

    std::string componentJournal() const { return svc::readText(root.path() + "/component/journal.txt"); }

    std::unique_ptr<e2e::HeadlessPage> browser;
};

TEST_F(BrowserTest, AllowedOriginOpensUnlocksAndShowsTheDecodedAnswer) {
    // Non-ASCII both ways: the label into the component, the component's text back to the page.
    const std::string label = "\u00c9tiquette \u65e5\u672c";
    const std::string answer = "Sign\u00e9 \u7f72\u540d";
    platform::setSetting("component_text", answer);
    start();
    e2e::Page p = load("app." KVLB_WEB_DOMAIN, label);
    EXPECT_EQ(p.open, "0");
    EXPECT_TRUE(std::regex_match(p.session, std::regex("[0-9A-Z]{8}_SID"))) << p.session;
    EXPECT_EQ(p.unlock, "0");
    EXPECT_EQ(p.answer, answer);
    EXPECT_EQ(componentJournal(), "P11ReadData\tbstr:\"" + label + "\"\tint:1\tint:2\n");
    EXPECT_TRUE(logHas("Origin: http://app." KVLB_WEB_DOMAIN ":" + std::to_string(browser->pagePort())));
    auto requests = browser->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().rfind("GET /index.html?", 0), 0u) << requests.front();
}

TEST_F(BrowserTest, OriginOutsideTheAllowListGets61908) {
    start();
    e2e::Page p = load("www.example.org", "never");
    EXPECT_EQ(p.open, "61908");
    EXPECT_EQ(p.session, "");
    EXPECT_EQ(p.unlock, "pending");
    EXPECT_EQ(p.answer, "pending");
    EXPECT_EQ(componentJournal(), "");
}

}  // namespace
