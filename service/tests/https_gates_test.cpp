// The gates of the HTTPS front, each seen from a real client: which requests get no reply, which
// get 200 with a refusal code, and the headers of a served reply.
#include <cstdlib>

#include "common/log.h"
#include "common/log_writer.h"
#include "service/https_front.h"
#include "service/service_main.h"
#include "service/tls_material.h"
#include "service_harness.h"

namespace svc {
namespace {

class ServiceHttpsGates : public ServiceTest {};

TEST_F(ServiceHttpsGates, EachGateGivesItsOutcome) {
    start();
    const std::string echo = json(opening("TessarionEcho"));
    struct Case {
        const char* name;
        PostOptions options;
        std::string request;
        bool replied;
        std::string result;  // expected "result" when replied
    };
    auto with = [](std::function<void(PostOptions&)> f) {
        PostOptions o;
        f(o);
        return o;
    };
    std::vector<Case> cases = {
        {"GET", with([](PostOptions& o) { o.method = "GET"; }), echo, false, ""},
        {"PUT", with([](PostOptions& o) { o.method = "PUT"; }), echo, false, ""},
        {"JSON content type", with([](PostOptions& o) {
             o.contentType = "application/json";
             o.rawBody = "{}";
         }),
         echo, false, ""},
        // The service's priority string ends TLS 1.1 at the handshake, before any handler runs; the
        // handler's own protocol check is held to account in HandlerProtocolCheck below.
        {"TLS 1.1 refused at the handshake", with([](PostOptions& o) {
             o.tlsVersion = CURL_SSLVERSION_TLSv1_1;
             o.tlsMax = CURL_SSLVERSION_MAX_TLSv1_1;
             o.cipherList = "NORMAL:-VERS-ALL:+VERS-TLS1.1:%VERIFY_ALLOW_SIGN_WITH_SHA1";
         }),
         echo, false, ""},
        {"Host without port", with([](PostOptions& o) { o.host = "localhost"; }), echo, true, "61904"},
        {"Host in capitals", with([](PostOptions& o) { o.host = "LOCALHOST:56462"; }), echo, true, "61904"},
        {"body not Base64 JSON", with([](PostOptions& o) { o.rawParameter = true; }), "not json at all",
         false, ""},
        {"Base64 of a non-object", {}, "[1, 2", false, ""},
        {"no origin, no referer", with([](PostOptions& o) { o.origin = "-"; }), echo, true, "61012"},
        {"origin null, referer null", with([](PostOptions& o) {
             o.origin = "null";
             o.referer = "null";
         }),
         echo, true, "61012"},
        {"referer too short", with([](PostOptions& o) {
             o.origin = "-";
             o.referer = "https:";
         }),
         echo, true, "61012"},
        {"peer not 127.0.0.1", with([](PostOptions& o) { o.sourceAddress = "127.0.0.2"; }), echo, false, ""},
        {"TLS 1.2 from localhost", with([](PostOptions& o) {
             o.host = "localhost:56462";
             o.tlsMax = CURL_SSLVERSION_MAX_TLSv1_2;
         }),
         echo, true, "0"},
        {"TLS 1.3", with([](PostOptions& o) { o.tlsVersion = CURL_SSLVERSION_TLSv1_3; }), echo, true, "0"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reply r = post(c.request, c.options);
        EXPECT_EQ(r.replied, c.replied) << r.body;
        if (c.replied) {
            EXPECT_EQ(r.status, 200);
            EXPECT_EQ(r.get("result"), c.result) << r.body;
            EXPECT_EQ(r.headers["x-xss-protection"], "1; mode=block");
        }
    }
    EXPECT_TRUE(logHas("Request method error: GET"));
    EXPECT_TRUE(logHas("This connection is NOT from localhost"));
    EXPECT_FALSE(logHas("Insecure connection")) << "no TLS 1.1 connection reached the handler";
    EXPECT_TRUE(running()) << "a refused request must not end the service";
}

// The access handler's own refusal of TLS 1.0 and 1.1, which the service's priority string keeps
// out of reach: a daemon of the service's front, started here with a priority string that lets the
// old versions through, must still answer none of them.
class HandlerProtocolCheck : public ::testing::Test {
  protected:
    platform::TestRoot root;
    MHD_Daemon* daemon = nullptr;

    void SetUp() override {
        enterOwnNetwork();
        setLogFileLevel("C:\\front.log", 5);
        logEnabled = 1;
        char* key = loadTlsPrivateKey();
        ASSERT_NE(key, nullptr);
        daemon = startHttpsDaemon(kPort1, useRsaCertificate() ? kRsaCertPem : kEcCertPem, key,
                                  "NORMAL:-VERS-ALL:+VERS-TLS1.0:+VERS-TLS1.1:+VERS-TLS1.2:"
                                  "%VERIFY_ALLOW_SIGN_WITH_SHA1");
        free(key);
        ASSERT_NE(daemon, nullptr);
    }
    void TearDown() override {
        if (daemon) MHD_stop_daemon(daemon);
        logEnabled = 0;
        setLogFileLevel(nullptr, 0);
    }
    std::string log() const {
        std::string all;
        for (auto& e : fs::directory_iterator(root.c()))
            if (e.path().filename().string().rfind("front", 0) == 0) all += readText(e.path());
        return all;
    }
};

TEST_F(HandlerProtocolCheck, OldVersionsGetNoReplyFromTheHandlerItself) {
    struct Case {
        const char* name;
        long version, max;
        const char* priorities;
    };
    const Case cases[] = {
        {"TLS 1.0", CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0,
         "NORMAL:-VERS-ALL:+VERS-TLS1.0:%VERIFY_ALLOW_SIGN_WITH_SHA1"},
        {"TLS 1.1", CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1,
         "NORMAL:-VERS-ALL:+VERS-TLS1.1:%VERIFY_ALLOW_SIGN_WITH_SHA1"},
    };
    const std::string echo = json({{"FunctionName", "TessarionEcho"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PostOptions o;
        o.tlsVersion = c.version;
        o.tlsMax = c.max;
        o.cipherList = c.priorities;
        const size_t before = log().size();
        Reply r = post(echo, o);
        EXPECT_FALSE(r.replied) << r.body;
        // The record shows the handshake succeeded and the handler itself refused.
        const std::string records = log().substr(before);
        EXPECT_NE(records.find(std::string("[Warning] Insecure connection: ") + c.name), std::string::npos)
            << records;
        EXPECT_EQ(records.find("TLS version: "), std::string::npos) << records;
    }

    // TLS 1.2 on the same daemon passes the check and meets the next gate, the Host header.
    PostOptions o;
    o.host = "localhost";
    o.tlsMax = CURL_SSLVERSION_MAX_TLSv1_2;
    Reply r = post(echo, o);
    EXPECT_EQ(r.get("result"), "61904") << r.body;
    EXPECT_NE(log().find("[Normal] TLS version: TLS 1.2"), std::string::npos) << log();
}

TEST_F(ServiceHttpsGates, OriginDecidesTheAllowOriginHeader) {
    start();
    const std::string echo = json(opening("TessarionEcho"));
    PostOptions o;
    Reply r = post(echo, o);
    EXPECT_EQ(r.headers["access-control-allow-origin"], kOrigin);

    // "null" origin: rebuilt from the referer as scheme://host[:port].
    o.origin = "null";
    o.referer = "https://127.0.0.1/x/y";
    r = post(echo, o);
    EXPECT_EQ(r.get("result"), "0");
    EXPECT_EQ(r.headers["access-control-allow-origin"], "https://127.0.0.1");
    EXPECT_TRUE(logHas("New Origin: https://127.0.0.1"));

    // An extension's origin is served, but not named back as allowed.
    o = PostOptions{};
    o.origin = "chrome-extension://abcdef";
    r = post(echo, o);
    EXPECT_EQ(r.get("result"), "0");
    EXPECT_EQ(r.headers.count("access-control-allow-origin"), 0u);
    EXPECT_EQ(r.headers.count("content-type"), 0u) << "the service sets no content type";
}

TEST_F(ServiceHttpsGates, OnlyTheParameterFieldCounts) {
    start();
    PostOptions o;
    o.extraField = "Other=" + base64(json({{"FunctionName", "Nothing"}}));
    Reply r = post(json(opening("TessarionEcho")), o);
    EXPECT_EQ(r.get("result"), "0") << r.body;
    EXPECT_TRUE(r.has("SessionID"));
}

TEST_F(ServiceHttpsGates, ConcurrentRequestsOnTwoPortsEachGetTheirOwnAnswer) {
    adapterSettings("sleep_ms=300\n");
    start();
    std::string a = openSession(), b = openSession();
    Reply ra, rb;
    std::thread t([&] {
        PostOptions o;
        o.port = kPort2;
        ra = post(json({{"SessionId", a}, {"FunctionName", "CallA"}}), o);
    });
    PostOptions o;
    o.port = kPort3;
    rb = post(json({{"SessionId", b}, {"FunctionName", "CallB"}}), o);
    t.join();
    EXPECT_EQ(ra.get("result"), "CallA:1");
    EXPECT_EQ(rb.get("result"), "CallB:1");
    // One request at a time: the two calls never overlap in the adapter.
    std::string j = journal();
    auto callA = j.find(" call CallA"), doneA = j.find(" done CallA");
    auto callB = j.find(" call CallB"), doneB = j.find(" done CallB");
    ASSERT_NE(doneA, std::string::npos);
    ASSERT_NE(doneB, std::string::npos);
    EXPECT_TRUE(doneA < callB || doneB < callA) << j;
}

}  // namespace
}  // namespace svc
