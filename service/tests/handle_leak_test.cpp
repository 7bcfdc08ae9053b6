// Session openings must not cost the service handles: every adapter copy it loads and unloads
// gives back what it opened, so a long day of pages leaves the service as it started.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "service_harness.h"

// These cases load the real adapter; a build that does not name it must not pass them by silence.
#ifndef KVLB_REAL_ADAPTER
#error "KVLB_REAL_ADAPTER (the path of the built adapter library) is not defined"
#endif

namespace svc {
namespace {

// One kept-alive connection for all requests, so a thousand openings cost no thousand handshakes.
class KeptConnection {
  public:
    KeptConnection() : curl(curl_easy_init()) {}
    ~KeptConnection() { curl_easy_cleanup(curl); }

    Reply post(const std::string& request, const std::string& origin) {
        Reply r;
        std::string value = base64(request);
        char* escaped = curl_easy_escape(curl, value.c_str(), (int)value.size());
        std::string body = "Parameter=" + std::string(escaped);
        curl_free(escaped);
        curl_slist* headers = curl_slist_append(nullptr, ("Origin: " + origin).c_str());
        headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
        curl_easy_setopt(curl, CURLOPT_URL, "https://127.0.0.1:56462/");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)body.size());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
        if (curl_easy_perform(curl) == CURLE_OK) {
            r.replied = true;
            r.values = replyValues(r.body);
        }
        curl_slist_free_all(headers);
        return r;
    }

  private:
    CURL* curl;
};

class ServiceHandles : public ServiceTest {
  protected:
    void SetUp() override {
        // The usual soft limit of a desktop session, which the service inherits: a leak of one
        // handle per opening exhausts it within the run.
        rlimit limit{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
        limit.rlim_cur = std::min<rlim_t>(1024, limit.rlim_max);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        ServiceTest::SetUp();
        installAdapter(KVLB_REAL_ADAPTER);
        ASSERT_EQ(std::system(KVLB_REGISTER_COMPONENT " >/dev/null"), 0);
        // Without "Log Level" nothing is logged, which halves the run; the copies still set up
        // their log writer, handle included.
        std::ofstream(root.ini()) << "[KVLBTessarion]\nLog File=C:\\svc.log\n";
        start({"0"}, false);
        ASSERT_TRUE(pollUntil([&] { return post(json({{"FunctionName", "x"}})).replied || !running(); }));
    }

    size_t openHandles() const {
        size_t n = 0;
        for (auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            (void)e;
            ++n;
        }
        return n;
    }
    // What the descriptors lead to, for a failure's message.
    std::string handleTargets() const {
        std::string out;
        std::error_code ec;
        for (auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
            out += " " + fs::read_symlink(e.path(), ec).string();
        return out;
    }
    // The service's polling threads hold a descriptor or two for a moment now and then (the
    // lock-mode receiver opens each instruction's mutex name): its own handles are the count
    // when none of those is open, the least of a few samples.
    size_t settledHandles() const {
        size_t least = openHandles();
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            least = std::min(least, openHandles());
        }
        return least;
    }
};

TEST_F(ServiceHandles, OpeningsAndReleasesGiveBackWhatTheyOpened) {
    const std::string page = std::string("https://portal.") + KVLB_WEB_DOMAIN;
    const std::string stranger = "https://elsewhere.test";
    KeptConnection client;
    auto releaseRequest = [](const std::string& id) {
        return json({{"SessionId", id}, {"FunctionName", "TessarionRelease"}});
    };
    // One round first, so that what the service opens once for good is already open.
    Reply first = client.post(json(opening("TessarionEcho")), page);
    ASSERT_EQ(first.get("result"), "0") << first.body;
    client.post(releaseRequest(first.get("SessionID")), page);
    size_t before = settledHandles();

    for (int i = 0; i < 1100; ++i) {
        // Every fourth page is foreign: its copy is refused with "61908" and released at once.
        bool foreign = i % 4 == 3;
        Reply r = client.post(json(opening("TessarionEcho")), foreign ? stranger : page);
        ASSERT_EQ(r.get("result"), foreign ? "61908" : "0") << "opening " << i << ": " << r.body;
        if (!foreign) {
            Reply released = client.post(releaseRequest(r.get("SessionID")), page);
            ASSERT_TRUE(released.replied) << "release " << i;
        }
    }

    // A handle kept per opening would stay above the count for good; a moment's one goes.
    EXPECT_TRUE(pollUntil([&] { return openHandles() <= before; }, 10s))
        << openHandles() << " handles, " << before << " before:" << handleTargets();
    for (int slot = 0; slot < 32; ++slot) EXPECT_FALSE(fs::exists(sessionCopy(slot))) << "slot " << slot;
    for (int port : {kPort1, kPort2, kPort3}) {
        PostOptions o;
        o.port = port;
        o.origin = page;
        Reply r = post(json(opening("TessarionEcho")), o);
        EXPECT_EQ(r.get("result"), "0") << "port " << port << ": " << r.body;
    }
}

}  // namespace
}  // namespace svc
