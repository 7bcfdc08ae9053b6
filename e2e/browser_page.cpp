#include "e2e/browser_page.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "platform/test_support.h"

namespace e2e {

namespace fs = std::filesystem;
using test_support::readText;

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kCertutil = "/usr/bin/certutil";

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

}  // namespace

PageServer::PageServer(std::string pageDir) : pageDir_(std::move(pageDir)) {
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

PageServer::~PageServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
}

std::vector<std::string> PageServer::requests() {
    std::lock_guard<std::mutex> g(mutex_);
    return requests_;
}

void PageServer::serve() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        int c = accept(listener_, nullptr, nullptr);
        if (c < 0) continue;
        answer(c);
        close(c);
    }
}

void PageServer::answer(int c) {
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
    std::string reply;
    if (std::regex_match(line, std::regex("GET /index\\.html(\\?[^ ]*)? HTTP/1\\.[01]"))) {
        std::string page = readText(pageDir_ + "/index.html");
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

HeadlessPage::HeadlessPage(std::string pageDir, std::string work)
    : work_(std::move(work)),
      home_(work_ + "/home"),
      server_(std::make_unique<PageServer>(std::move(pageDir))) {}

bool HeadlessPage::toolsPresent() {
    return access(kChromium, X_OK) == 0 && access(kCertutil, X_OK) == 0;
}

bool HeadlessPage::trust(const std::vector<std::string>& pems, std::string* error) {
    std::string nss = home_ + "/.pki/nssdb";
    std::error_code ec;
    fs::remove_all(nss, ec);  // a database of an earlier run holds its certificates
    fs::create_directories(nss, ec);
    std::string out;
    if (!run(std::string(kCertutil) + " -N -d sql:" + shellQuoted(nss) + " --empty-password 2>&1", &out)) {
        *error = "certutil could not make the NSS database: " + out;
        return false;
    }
    int n = 0;
    for (const auto& pem : pems) {
        if (!fs::exists(pem)) {
            *error = "no certificate " + pem;
            return false;
        }
        std::string name = "kvlb_service_" + std::to_string(n++);
        if (!run(std::string(kCertutil) + " -A -d sql:" + shellQuoted(nss) + " -n " + name + " -t P,, -i " +
                     shellQuoted(pem) + " 2>&1",
                 &out)) {
            *error = "certutil could not add " + pem + ": " + out;
            return false;
        }
    }
    return true;
}

bool HeadlessPage::load(const std::string& host, int servicePort, const std::string& label, Page* page,
                        std::string* error) {
    if (pagePort() <= 0) {
        *error = "the page server could not listen on 127.0.0.1";
        return false;
    }
    std::string url = "http://" + host + ":" + std::to_string(pagePort()) +
                      "/index.html?port=" + std::to_string(servicePort) + "&label=" + percentEncoded(label);
    std::string errors = work_ + "/chromium.err";
    std::error_code ec;
    fs::remove(errors, ec);
    std::string command = "HOME=" + shellQuoted(home_) + " timeout -k 10 120 " + kChromium +
                          " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                          " --disable-background-networking --disable-component-update --disable-sync"
                          " --disable-features=HttpsUpgrades --user-data-dir=" +
                          shellQuoted(work_ + "/chromium-profile") +
                          " --host-resolver-rules=" + shellQuoted("MAP " + host + " 127.0.0.1") +
                          " --virtual-time-budget=30000 --dump-dom " + shellQuoted(url) + " 2>>" +
                          shellQuoted(errors);
    page->dom.clear();
    bool ran = run(command, &page->dom);
    auto field = [&](const std::string& id, const char* element = "dd") {
        std::smatch m;
        std::regex re("<" + std::string(element) + " id=\"" + id + "\">([^<]*)</" + element + ">");
        return std::regex_search(page->dom, m, re) ? m[1].str() : std::string("<missing>");
    };
    page->open = field("open");
    page->session = field("session");
    page->unlock = field("unlock");
    page->answer = field("answer");
    page->state = field("state", "p");
    if (!ran) {
        *error = "chromium failed: " + readText(errors).substr(0, 4000);
        return false;
    }
    if (page->state != "done") {
        *error = "the page did not finish:\n" + page->dom;
        return false;
    }
    return true;
}

}  // namespace e2e
