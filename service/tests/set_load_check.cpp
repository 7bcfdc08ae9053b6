// Loads a running set from outside, over TLS, for the load check of the installed Windows set
// (scripts/check-win-load.sh): session openings and releases in bulk, sessions left open, new
// connections, bodies past the size limit, and requests kept in flight while the service is
// killed. Each mode prints what it did on one or more lines; the exit status is 0 when the service
// behaved as the mode expects, 1 when not, 2 for a wrong command line.
//
//   kvlb_set_load_check cycles <port> <CA certificate> <count>
//       <count> openings (an echo with a path id) and releases through one kept-alive connection,
//       TessarionRelease and TessarionForceRelease in turn; each opening must answer 0 with a new
//       SessionID and each release an object without keys
//   kvlb_set_load_check connections <port> <CA certificate> <count>
//       <count> new connections one after another, each opening a session and releasing it
//   kvlb_set_load_check open <port> <CA certificate> <count>
//       opens <count> sessions and leaves them open; prints their ids, one a line
//   kvlb_set_load_check oversize <port> <CA certificate> length|chunked
//       posts a body 1 KiB past 16 MiB, with its Content-Length or in chunks: the service must close
//       the connection without a reply
//   kvlb_set_load_check churn <port> <CA certificate> <threads> <seconds>
//       <threads> connections each opening a session, calling the component through it and
//       releasing it, over and over; prints "churn: running" once every thread has finished a
//       cycle, and ends when every thread's request has failed or after <seconds>. It succeeds
//       when every thread was cut off by a failed request after a good cycle (the service went
//       away in the middle of the load).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support/https_client.h"

namespace {

const char* kOpen =
    R"({"FunctionName":"TessarionEcho","PathID":"5D0E7B21C48A4F93B6E2D7150A9C3F68","minServerVersion":"1.0.21.0630"})";

int port = 0;
const char* caFile = nullptr;

// What a post brought: the body, or "(no answer: <curl's error>)".
std::string answer(test_support::Client& client, const std::string& json) {
    return client.post(json) ? client.body
                             : std::string("(no answer: ") + curl_easy_strerror(client.status) + ")";
}

// Opens a session; its id, or "" with why in *why.
std::string openSession(test_support::Client& client, std::string* why) {
    std::string body = answer(client, kOpen);
    std::string sid = test_support::replyValue(body, "SessionID");
    if (test_support::replyValue(body, "result") != "0" || sid.empty()) {
        *why = "the opening answered " + body;
        return "";
    }
    return sid;
}

// Releases a session with the command; false with why in *why.
bool releaseSession(test_support::Client& client, const std::string& sid, const char* command,
                    std::string* why) {
    std::string body =
        answer(client, R"({"SessionId":")" + sid + R"(","FunctionName":")" + command + R"("})");
    if (body != "{}") {
        *why = std::string(command) + " answered " + body;
        return false;
    }
    return true;
}

int cycles(long count) {
    test_support::Client client(port, nullptr, caFile);
    std::string why, last;
    for (long i = 1; i <= count; ++i) {
        std::string sid = openSession(client, &why);
        if (sid.empty() || sid == last ||
            !releaseSession(client, sid, i % 2 ? "TessarionRelease" : "TessarionForceRelease", &why)) {
            if (why.empty()) why = "the opening answered the SessionID of the one before";
            std::printf("cycles: cycle %ld of %ld failed: %s\n", i, count, why.c_str());
            return 1;
        }
        last = sid;
    }
    std::printf("cycles: %ld openings and releases\n", count);
    return 0;
}

int connections(long count) {
    for (long i = 1; i <= count; ++i) {
        test_support::Client client(port, nullptr, caFile);
        std::string why;
        std::string sid = openSession(client, &why);
        if (sid.empty() || !releaseSession(client, sid, "TessarionRelease", &why)) {
            std::printf("connections: connection %ld of %ld: %s\n", i, count, why.c_str());
            return 1;
        }
    }
    std::printf("connections: %ld new connections served\n", count);
    return 0;
}

int open(long count) {
    test_support::Client client(port, nullptr, caFile);
    for (long i = 1; i <= count; ++i) {
        std::string why;
        std::string sid = openSession(client, &why);
        if (sid.empty()) {
            std::printf("open: session %ld of %ld: %s\n", i, count, why.c_str());
            return 1;
        }
        std::printf("%s\n", sid.c_str());
    }
    return 0;
}

// The body of the oversized post: the form field's name, then Base64 letters.
struct Body {
    size_t total;
    size_t sent = 0;
};
size_t readBody(char* buffer, size_t size, size_t n, void* data) {
    auto* body = static_cast<Body*>(data);
    static const char kHead[] = "Parameter=";
    size_t room = std::min(size * n, body->total - body->sent);
    for (size_t k = 0; k < room; ++k, ++body->sent)
        buffer[k] = body->sent < sizeof kHead - 1 ? kHead[body->sent] : 'Q';
    return room;
}

int oversize(const std::string& how) {
    if (how != "length" && how != "chunked") return 2;
    Body body{(size_t(16) << 20) + 1024};
    test_support::Client client(port, nullptr, caFile);
    CURL* c = client.c;
    client.headers = curl_slist_append(client.headers, "Content-Type: application/x-www-form-urlencoded");
    // As a browser posts: the body follows the headers at once, without waiting for a 100 Continue.
    client.headers = curl_slist_append(client.headers, "Expect:");
    if (how == "chunked") client.headers = curl_slist_append(client.headers, "Transfer-Encoding: chunked");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, client.headers);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(c, CURLOPT_READDATA, &body);
    if (how == "length") curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.total));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L);
    CURLcode status = curl_easy_perform(c);
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    std::printf("oversize (%s): %zu of %zu bytes sent; curl: %s; HTTP status %ld; %zu bytes of reply\n",
                how.c_str(), body.sent, body.total, curl_easy_strerror(status), code, client.body.size());
    // Closed without a reply: the transfer broke off (not by this side's time limit), and no
    // status line came back.
    bool closed =
        status != CURLE_OK && status != CURLE_OPERATION_TIMEDOUT && code == 0 && client.body.empty();
    return closed ? 0 : 1;
}

int churn(int threads, int seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::atomic<int> started{0}, cutOff{0};
    std::atomic<long> done{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            test_support::Client client(port, nullptr, caFile);
            bool good = false;
            while (std::chrono::steady_clock::now() < until) {
                std::string why;
                std::string sid = openSession(client, &why);
                bool ok = !sid.empty();
                if (ok) {
                    std::string body = answer(
                        client, R"({"SessionId":")" + sid + R"(","FunctionName":"GetVersion","flag":"1"})");
                    ok = test_support::replyValue(body, "result") == "GetVersion:ok" &&
                         releaseSession(client, sid, "TessarionForceRelease", &why);
                }
                if (!ok) {
                    if (good) ++cutOff;
                    return;
                }
                ++done;
                if (!good && ++started == threads) {
                    std::printf("churn: running\n");
                    std::fflush(stdout);
                }
                good = true;
            }
        });
    }
    for (auto& t : pool) t.join();
    std::printf("churn: %ld cycles; %d of %d connections cut off in the middle of the load\n", done.load(),
                cutOff.load(), threads);
    return cutOff == threads ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr,
                     "usage: kvlb_set_load_check cycles|connections|open|oversize|churn <port> "
                     "<CA certificate> <argument>...\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string mode = argv[1];
    port = std::atoi(argv[2]);
    caFile = argv[3];
    curl_global_init(CURL_GLOBAL_ALL);
    int status = 2;
    if (mode == "cycles")
        status = cycles(std::atol(argv[4]));
    else if (mode == "connections")
        status = connections(std::atol(argv[4]));
    else if (mode == "open")
        status = open(std::atol(argv[4]));
    else if (mode == "oversize")
        status = oversize(argv[4]);
    else if (mode == "churn" && argc == 6)
        status = churn(std::atoi(argv[4]), std::atoi(argv[5]));
    curl_global_cleanup();
    return status;
}
