// What a caller cannot do to the service's connections: send a body past the limit, or hold
// connections open without sending anything, and so keep others from being served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "service_harness.h"

namespace svc {
namespace {

constexpr size_t kBodyLimit = 16u << 20;  // the service's documented limit on a request body
constexpr int kIdleTimeoutSeconds = 15;   // the service's time-out for a connection that does nothing

class ServiceConnectionLimits : public ServiceTest {
  protected:
    // The peak resident memory of the service so far, in KiB.
    long peakMemoryKb() const {
        std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }

    std::string echo() const { return json(opening("TessarionEcho")); }
};

// A body of the given size made on the fly: the form field's name, then Base64 letters.
struct StreamedBody {
    size_t size;
    size_t sent = 0;
    static size_t read(char* buffer, size_t size, size_t count, void* self) {
        auto* body = static_cast<StreamedBody*>(self);
        size_t n = std::min(size * count, body->size - body->sent);
        for (size_t i = 0; i < n; ++i) {
            size_t at = body->sent + i;
            buffer[i] = at < 10 ? "Parameter="[at] : 'A';
        }
        body->sent += n;
        return n;
    }
};

// Streams the body; true when an HTTP reply came back.
bool postStreamed(StreamedBody& body, bool chunked) {
    CURL* c = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, (std::string("Origin: ") + kOrigin).c_str());
    if (chunked) headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
    curl_easy_setopt(c, CURLOPT_URL, "https://127.0.0.1:56462/");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    if (!chunked) curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.size);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, StreamedBody::read);
    curl_easy_setopt(c, CURLOPT_READDATA, &body);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 120L);
    std::string reply;
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply);
    CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return rc == CURLE_OK;
}

TEST_F(ServiceConnectionLimits, BodyPastTheLimitIsCutOffAndTheServiceGoesOn) {
    // Under AddressSanitizer freed memory stays resident in its quarantine, so the peak would
    // count every buffer the TLS layer ever freed; without it the peak is what the service held.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    std::string kept = sanitizer ? sanitizer : "";
    setenv("ASAN_OPTIONS", (kept + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0").c_str(), 1);
    start();
    if (sanitizer)
        setenv("ASAN_OPTIONS", kept.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
    EXPECT_EQ(post(echo()).get("result"), "0");
    long before = peakMemoryKb();
    ASSERT_GT(before, 0);

    struct Case {
        size_t size;
        bool chunked;  // else the length is announced first
    };
    for (Case c :
         {Case{size_t(512) << 20, false}, Case{size_t(512) << 20, true}, Case{kBodyLimit + 1, true}}) {
        SCOPED_TRACE(std::to_string(c.size) + (c.chunked ? " chunked" : " with its length"));
        StreamedBody body{c.size};
        EXPECT_FALSE(postStreamed(body, c.chunked)) << "no reply";
        EXPECT_LT(body.sent, 4 * kBodyLimit) << "the connection is closed soon after the limit";
        long peak = peakMemoryKb();
        std::printf("peak memory %ld KiB before, %ld KiB after refusing %zu bytes%s\n", before, peak, c.size,
                    c.chunked ? " chunked" : "");
        EXPECT_LT(peak - before, long(4 * kBodyLimit / 1024));
        EXPECT_EQ(post(echo()).get("result"), "0") << "served as before";
    }
    // Just under the limit is served.
    auto request = opening("TessarionEcho");
    request.push_back({"Pad", std::string((kBodyLimit - 1024) / 4 * 3, 'x')});
    PostOptions under;
    under.rawBody = "Parameter=";
    for (char ch : base64(json(request)))
        under.rawBody += ch == '+' ? "%2B" : ch == '/' ? "%2F" : ch == '=' ? "%3D" : std::string(1, ch);
    ASSERT_LE(under.rawBody.size(), kBodyLimit);
    EXPECT_EQ(post("", under).get("result"), "0") << "a body just under the limit is served";
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, (sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(ServiceConnectionLimits, IdleConnectionsNeitherLockOthersOutNorStay) {
    openFileLimit = 1024;
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_cur < 2048 && own.rlim_max >= 2048) {
        own.rlim_cur = 2048;
        setrlimit(RLIMIT_NOFILE, &own);
    }
    start();
    const int ports[3] = {kPort1, kPort2, kPort3};
    std::vector<int> idle;
    for (int i = 0; i < 1100; ++i) {
        int fd = connectTo(ports[i % 3]);
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto held = std::chrono::steady_clock::now();
    for (int port : ports) {
        SCOPED_TRACE(port);
        PostOptions o;
        o.port = port;
        o.timeoutSeconds = kIdleTimeoutSeconds / 2;
        auto t0 = std::chrono::steady_clock::now();
        Reply r = post(echo(), o);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("port %d answered in %.2f s\n", port, took);
        EXPECT_EQ(r.get("result"), "0") << "answered while the idle connections are held";
    }

    // Every idle connection is closed by the service after the time-out.
    size_t closed = 0;
    auto deadline = held + std::chrono::seconds(3 * kIdleTimeoutSeconds);
    std::vector<bool> done(idle.size(), false);
    while (closed < idle.size() && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> watch;
        for (size_t i = 0; i < idle.size(); ++i)
            if (!done[i]) watch.push_back({idle[i], POLLIN, 0});
        poll(watch.data(), watch.size(), 500);
        for (auto& w : watch) {
            if (!(w.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char byte;
            if (recv(w.fd, &byte, 1, MSG_DONTWAIT) <= 0) {
                for (size_t i = 0; i < idle.size(); ++i)
                    if (idle[i] == w.fd) done[i] = true;
                ++closed;
            }
        }
    }
    double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - held).count();
    std::printf("%zu of %zu idle connections closed after %.1f s\n", closed, idle.size(), after);
    EXPECT_EQ(closed, idle.size());
    for (int fd : idle) close(fd);
    EXPECT_EQ(post(echo()).get("result"), "0");
}

// The time-out counts only silence on the wire: an adapter call that takes longer is answered, and
// so is a request that came in on the same port meanwhile and waited for it.
TEST_F(ServiceConnectionLimits, CallsLongerThanTheTimeOutAreAnswered) {
    adapterSettings("sleep_ms=" + std::to_string((kIdleTimeoutSeconds + 3) * 1000) + "\n");
    start();
    std::string sid = openSession();
    Reply queued;
    std::thread other([&] {
        pollUntil([&] { return journal().find(" call Slow") != std::string::npos; });
        adapterSettings("");
        queued = post(json({{"SessionId", sid}, {"FunctionName", "Queued"}}));
    });
    Reply slow = post(json({{"SessionId", sid}, {"FunctionName", "Slow"}}));
    other.join();
    EXPECT_EQ(slow.get("result"), "Slow:1");
    EXPECT_EQ(queued.get("result"), "Queued:2");
}

}  // namespace
}  // namespace svc
