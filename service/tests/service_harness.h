// Test harness: one service per case, installed in the case's own machine root (program in
// <root>/bin, the adapter in <root>/bin/KVLB), in its own network namespace when one can be had,
// and spoken to over HTTPS as a browser does: a form field "Parameter" holding Base64 JSON.
#pragma once
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/test_support.h"

namespace svc {

namespace fs = std::filesystem;

constexpr int kPort1 = 56462, kPort2 = 56562, kPort3 = 56662;
constexpr const char* kPathId = "5D0E7B21C48A4F93B6E2D7150A9C3F68";
constexpr const char* kOrigin = "https://app.example.test";

// Each test program enters a network namespace of its own once, so the fixed ports are its own.
inline void enterOwnNetwork() {
    static bool done = false;
    if (done) return;
    done = true;
    if (unshare(CLONE_NEWNET) == 0) {
        if (std::system("ip link set lo up") != 0) std::fprintf(stderr, "loopback not brought up\n");
    }
}

inline std::string base64(const std::string& in) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += a[v >> 18 & 63];
        out += a[v >> 12 & 63];
        out += a[v >> 6 & 63];
        out += a[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += a[v >> 18 & 63];
        out += a[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += a[v >> 18 & 63];
        out += a[v >> 12 & 63];
        out += a[v >> 6 & 63];
        out += '=';
    }
    return out;
}

inline std::string unbase64(const std::string& in) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        int d = c >= 'A' && c <= 'Z'   ? c - 'A'
                : c >= 'a' && c <= 'z' ? c - 'a' + 26
                : c >= '0' && c <= '9' ? c - '0' + 52
                : c == '+'             ? 62
                : c == '/'             ? 63
                                       : -1;
        if (d < 0) break;
        v = v << 6 | d;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char(v >> bits & 255);
        }
    }
    return out;
}

// A flat JSON object of string values, as the pages send.
inline std::string json(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string s = "{";
    for (auto& [k, v] : pairs) {
        if (s.size() > 1) s += ",";
        s += "\"" + k + "\":\"" + v + "\"";
    }
    return s + "}";
}

struct Reply {
    bool replied = false;  // an HTTP reply arrived
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::map<std::string, std::string> values;   // reply keys with decoded values
    std::string get(const std::string& k) const {
        auto i = values.find(k);
        return i == values.end() ? "<absent>" : i->second;
    }
    bool has(const std::string& k) const { return values.count(k) != 0; }
};

struct PostOptions {
    int port = kPort1;
    std::string method = "POST";
    std::string host;              // empty: curl's own ("127.0.0.1:<port>")
    std::string origin = kOrigin;  // "-": no Origin header
    std::string referer;           // empty: none
    std::string contentType;       // empty: the browser's form type
    std::string extraField;        // a further form field, "name=value"
    std::string rawBody;           // sent as it stands instead of the Parameter field
    bool rawParameter = false;     // the Parameter value is not Base64 of the JSON
    long tlsVersion = CURL_SSLVERSION_TLSv1_2;
    long tlsMax = CURL_SSLVERSION_MAX_DEFAULT;
    std::string cipherList;     // GnuTLS priority string for the client
    std::string sourceAddress;  // the client's own address
    std::string caFile;         // verify the server against this certificate
    long timeoutSeconds = 120;  // the whole exchange
};

inline size_t collect(char* p, size_t s, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, s * n);
    return s * n;
}

inline size_t collectHeader(char* p, size_t s, size_t n, void* out) {
    std::string line(p, s * n);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = (char)std::tolower((unsigned char)c);
        std::string value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return s * n;
}

inline Reply post(const std::string& request, const PostOptions& o = {}) {
    Reply r;
    CURL* c = curl_easy_init();
    std::string url = "https://127.0.0.1:" + std::to_string(o.port) + "/";
    std::string body;
    if (!o.rawBody.empty()) {
        body = o.rawBody;
    } else {
        std::string value = o.rawParameter ? request : base64(request);
        char* escaped = curl_easy_escape(c, value.c_str(), (int)value.size());
        body = "Parameter=" + std::string(escaped);
        curl_free(escaped);
        if (!o.extraField.empty()) body += "&" + o.extraField;
    }
    curl_slist* headers = nullptr;
    if (!o.host.empty()) headers = curl_slist_append(headers, ("Host: " + o.host).c_str());
    if (o.origin != "-") headers = curl_slist_append(headers, ("Origin: " + o.origin).c_str());
    if (!o.referer.empty()) headers = curl_slist_append(headers, ("Referer: " + o.referer).c_str());
    headers = curl_slist_append(
        headers, ("Content-Type: " +
                  (o.contentType.empty() ? std::string("application/x-www-form-urlencoded") : o.contentType))
                     .c_str());
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, o.method.c_str());
    if (o.method != "GET") {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, (long)body.size());
    }
    if (o.caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
        curl_easy_setopt(c, CURLOPT_CAINFO, o.caFile.c_str());
    }
    curl_easy_setopt(c, CURLOPT_SSLVERSION, o.tlsVersion | o.tlsMax);
    if (!o.cipherList.empty()) curl_easy_setopt(c, CURLOPT_SSL_CIPHER_LIST, o.cipherList.c_str());
    if (!o.sourceAddress.empty()) curl_easy_setopt(c, CURLOPT_INTERFACE, o.sourceAddress.c_str());
    curl_easy_setopt(c, CURLOPT_TIMEOUT, o.timeoutSeconds);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK) {
        r.replied = true;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        std::regex pair("\"([^\"]*)\": \"([^\"]*)\"");
        for (std::sregex_iterator i(r.body.begin(), r.body.end(), pair), e; i != e; ++i)
            r.values[(*i)[1]] = unbase64((*i)[2]);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return r;
}

using test_support::pollUntil;
using test_support::readText;

// One machine root with the service installed in it and, while started, running in it.
class ServiceTest : public ::testing::Test {
  protected:
    platform::TestRoot root;
    pid_t pid = -1;
    rlim_t openFileLimit = 0;  // the service's soft limit on open files; 0: the test's own

    std::string bin() const { return root.path() + "/bin"; }
    std::string dataFolder() const { return root.c("ProgramData/KVLBTessarionMain"); }
    std::string sessionCopy(int slot) const {
        return dataFolder() + "/Tempfile/Session_" + std::to_string(slot) + "/KvlbTokenAdapter.dll";
    }

    void SetUp() override {
        enterOwnNetwork();
        fs::create_directories(bin() + "/KVLB");
        fs::copy_file(KVLB_SERVICE_EXE, bin() + "/KVLBTessarionMain.exe");
        installAdapter(KVLB_FIXTURE_BOTH);
        // The log goes to C:\svc.log in the root, so each case reads its own records.
        fs::create_directories(root.c("Windows"));
        std::ofstream(root.ini()) << "[KVLBTessarion]\nLog File=C:\\svc.log\nLog MaxSize=0\nLog Level=5\n";
    }

    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void installAdapter(const char* library) {
        fs::copy_file(library, bin() + "/KVLB/KvlbTokenAdapter.dll", fs::copy_options::overwrite_existing);
    }

    void adapterSettings(const std::string& lines) {
        std::ofstream(root.path() + "/fixture_adapter.ini") << lines;
    }

    std::string journal() const { return readText(root.path() + "/fixture_journal.txt"); }

    std::string log() const {
        std::string all;
        if (fs::exists(root.c()))
            for (auto& e : fs::directory_iterator(root.c()))
                if (e.path().filename().string().rfind("svc_", 0) == 0) all += readText(e.path());
        return all;
    }

    bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }

    size_t logCount(const std::string& text) const {
        std::string all = log();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

    // Starts the service; with wait, until it reports the outcome of its start-up.
    void start(const std::vector<std::string>& args = {"0"}, bool wait = true) {
        std::string exe = bin() + "/KVLBTessarionMain.exe";
        std::string out = root.path() + "/service.out";
        size_t startsBefore = logCount("KVLBTessarion initialization: ");
        pid = fork();
        if (pid == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            rlimit files{};
            if (openFileLimit && getrlimit(RLIMIT_NOFILE, &files) == 0) {
                files.rlim_cur = openFileLimit;
                setrlimit(RLIMIT_NOFILE, &files);
            }
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        if (wait) {
            ASSERT_TRUE(pollUntil([&] {
                return logCount("KVLBTessarion initialization: ") > startsBefore || !running();
            })) << "the service did not finish its start-up";
        }
    }

    bool running() {
        if (pid <= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid = -1;
            return false;
        }
        return true;
    }

    // The exit code once the service has ended within the deadline, else -1.
    int waitExit(std::chrono::milliseconds within = 60s) {
        if (!pollUntil([&] { return !running(); }, within)) return -1;
        return exitCode;
    }

    int exitCode = -1;

    // A request that opens a session through the path table.
    static std::vector<std::pair<std::string, std::string>> opening(const std::string& function) {
        return {{"FunctionName", function}, {"PathID", kPathId}, {"minServerVersion", "1.0.21.0630"}};
    }

    std::string openSession() {
        Reply r = post(json(opening("TessarionEcho")));
        EXPECT_EQ(r.get("result"), "0") << r.body;
        return r.get("SessionID");
    }
};

}  // namespace svc
