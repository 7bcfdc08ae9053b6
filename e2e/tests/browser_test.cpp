// The service as a real browser uses it: headless Chromium loads our test page from a small HTTP
// server on loopback under a host name of the allow-list (mapped to 127.0.0.1 by the browser's
// resolver rules), trusts the service's certificates through an NSS database, and the page opens a
// session with the PathID, unlocks, calls a component function and shows the decoded answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <memory>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "component/signing_component.h"
#include "platform/root.h"
#include "platform/win_com.h"
#include "service/tests/service_harness.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kCertutil = "/usr/bin/certutil";

// Serves the page folder over plain HTTP on 127.0.0.1, one request per connection.
class PageServer {
  public:
    PageServer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;  // any free port
        if (bind(listener_, (sockaddr*)&a, sizeof a) != 0 || listen(listener_, 16) != 0) return;
        socklen_t n = sizeof a;
        getsockname(listener_, (sockaddr*)&a, &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~PageServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    int port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> g(mutex_);
        return requests_;
    }

  private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            int c = accept(listener_, nullptr, nullptr);
            if (c < 0) continue;
            answer(c);
            close(c);
        }
    }

    void answer(int c) {
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) return;
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) return;
            head.append(buf, (size_t)n);
        }
        std::string line = head.substr(0, head.find("\r\n"));
        {
            std::lock_guard<std::mutex> g(mutex_);
            requests_.push_back(line);
        }
        std::smatch m;
        std::string reply;
        if (std::regex_match(line, m, std::regex("GET /index\\.html(\\?[^ ]*)? HTTP/1\\.[01]"))) {
            std::string page = svc::readText(std::string(KVLB_E2E_PAGE_DIR) + "/index.html");
            reply =
                "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                "Connection: close\r\nContent-Length: " +
                std::to_string(page.size()) + "\r\n\r\n" + page;
        } else {
            reply = "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        }
        for (size_t at = 0; at < reply.size();) {
            ssize_t n = send(c, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += (size_t)n;
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char ch : s) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return out + "'";
}

// Runs a shell command; its standard output, and false when it did not exit with 0.
bool run(const std::string& command, std::string* out = nullptr) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out) out->append(buf, n);
    return pclose(p) == 0;
}

std::string percentEncoded(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char ch : s) {
        if (std::isalnum(ch) || ch == '-' || ch == '_' || ch == '.' || ch == '~') {
            out += (char)ch;
        } else {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
    return out;
}

struct Page {
    std::string open, session, unlock, answer, state;
};

class BrowserTest : public svc::ServiceTest {
  protected:
    void SetUp() override {
        // A machine without the browser fails here rather than passing the page paths unseen.
        ASSERT_TRUE(access(kChromium, X_OK) == 0 && access(kCertutil, X_OK) == 0)
            << "chromium and certutil are needed (scripts/install-deps.sh installs them)";
        svc::ServiceTest::SetUp();
        ASSERT_TRUE(platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY));
        // Listening only now, inside the case's own network, where the browser and the service are.
        pages = std::make_unique<PageServer>();
        ASSERT_GT(pages->port(), 0);
        home = root.path() + "/home";
        std::string nss = home + "/.pki/nssdb";
        fs::create_directories(nss);
        ASSERT_TRUE(
            run(std::string(kCertutil) + " -N -d sql:" + shellQuoted(nss) + " --empty-password 2>&1"));
        // The service picks one of its two certificates by the Windows version; trust both as peers.
        for (const char* name : {"kvlb_ec_cert", "kvlb_rsa_cert"}) {
            std::string pem = std::string(KVLB_CERT_DIR) + "/" + name + ".pem";
            ASSERT_TRUE(fs::exists(pem)) << pem;
            ASSERT_TRUE(run(std::string(kCertutil) + " -A -d sql:" + shellQuoted(nss) + " -n " + name +
                            " -t P,, -i " + shellQuoted(pem) + " 2>&1"));
        }
    }

    // Loads the page from host and returns what its DOM shows once its script has run.
    Page load(const std::string& host, const std::string& label) {
        std::string url = "http://" + host + ":" + std::to_string(pages->port()) +
                          "/index.html?port=" + std::to_string(svc::kPort1) +
                          "&label=" + percentEncoded(label);
        std::string profile = root.path() + "/chromium-profile";
        std::string command =
            "HOME=" + shellQuoted(home) + " timeout -k 10 120 " + kChromium +
            " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
            " --disable-background-networking --disable-component-update --disable-sync"
            " --disable-features=HttpsUpgrades --user-data-dir=" +
            shellQuoted(profile) + " --host-resolver-rules=" +
            shellQuoted("MAP app." KVLB_WEB_DOMAIN " 127.0.0.1, MAP www.example.org 127.0.0.1") +
            " --virtual-time-budget=30000 --dump-dom " + shellQuoted(url) + " 2>>" +
            shellQuoted(root.path() + "/chromium.err");
        std::string dom;
        bool ok = run(command, &dom);
        EXPECT_TRUE(ok) << "chromium failed: "
                        << svc::readText(root.path() + "/chromium.err").substr(0, 4000);
        auto field = [&](const std::string& id, const char* element = "dd") {
            std::smatch m;
            std::regex re("<" + std::string(element) + " id=\"" + id + "\">([^<]*)</" + element + ">");
            return std::regex_search(dom, m, re) ? m[1].str() : std::string("<missing>");
        };
        Page p{field("open"), field("session"), field("unlock"), field("answer"), field("state", "p")};
        if (p.state != "done") ADD_FAILURE() << "the page did not finish:\n" << dom;
        return p;
    }

    std::string componentJournal() const { return svc::readText(root.path() + "/component/journal.txt"); }

    std::unique_ptr<PageServer> pages;
    std::string home;
};

TEST_F(BrowserTest, AllowedOriginOpensUnlocksAndShowsTheDecodedAnswer) {
    // Non-ASCII both ways: the label into the component, the component's text back to the page.
    const std::string label = "\u00c9tiquette \u65e5\u672c";
    const std::string answer = "Sign\u00e9 \u7f72\u540d";
    platform::setSetting("component_text", answer);
    start();
    Page p = load("app." KVLB_WEB_DOMAIN, label);
    EXPECT_EQ(p.open, "0");
    EXPECT_TRUE(std::regex_match(p.session, std::regex("[0-9A-Z]{8}_SID"))) << p.session;
    EXPECT_EQ(p.unlock, "0");
    EXPECT_EQ(p.answer, answer);
    EXPECT_EQ(componentJournal(), "P11ReadData\tbstr:\"" + label + "\"\tint:1\tint:2\n");
    EXPECT_TRUE(logHas("Origin: http://app." KVLB_WEB_DOMAIN ":" + std::to_string(pages->port())));
    auto requests = pages->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().rfind("GET /index.html?", 0), 0u) << requests.front();
}

TEST_F(BrowserTest, OriginOutsideTheAllowListGets61908) {
    start();
    Page p = load("www.example.org", "never");
    EXPECT_EQ(p.open, "61908");
    EXPECT_EQ(p.session, "");
    EXPECT_EQ(p.unlock, "pending");
    EXPECT_EQ(p.answer, "pending");
    EXPECT_EQ(componentJournal(), "");
}

}  // namespace
