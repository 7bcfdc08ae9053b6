// Service benchmark. Starts KVLBTessarionMain.exe in a fresh machine root (in a network namespace
// of its own when it can have one) and, in this process, a bare libmicrohttpd TLS server with the
// service's daemon settings (same certificate and key, priority string, one polling thread), then:
//   1. echo on an open session over 8 kept-alive TLS connections, against the bare server's echo;
//   2. opening and force-releasing a session (copy, load, unlock, version, release, delete);
//   3. the service's resident memory with 32 sessions open.
// usage: kvlb_service_bench [seconds per throughput run]
#include <curl/curl.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/https_front.h"
#include "service/service_main.h"
#include "service/tls_material.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kServicePort = 56462;
constexpr int kBarePort = 56901;
constexpr int kConnections = 8;
const char* kPathId = "5D0E7B21C48A4F93B6E2D7150A9C3F68";

std::string base64(const std::string& in) {
    static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (unsigned char c : in) {
        v = v << 8 | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += a[v >> bits & 63];
        }
    }
    if (bits) out += a[v << (6 - bits) & 63];
    while (out.size() % 4) out += '=';
    return out;
}

std::string unbase64(const std::string& in) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* p = std::strchr(a, c);
        if (!p || !c) break;
        v = v << 6 | unsigned(p - a);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char(v >> bits & 255);
        }
    }
    return out;
}

// The reply value of key, decoded (the reply is one line of "key": "Base64" pairs).
std::string replyValue(const std::string& body, const std::string& key) {
    std::string marker = "\"" + key + "\": \"";
    size_t at = body.find(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    size_t end = body.find('"', at);
    return end == std::string::npos ? "" : unbase64(body.substr(at, end - at));
}

size_t collect(char* p, size_t s, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, s * n);
    return s * n;
}

// One kept-alive client connection, posting the way a browser does.
struct Client {
    CURL* c = curl_easy_init();
    curl_slist* headers = nullptr;
    std::string body;
    explicit Client(int port) {
        std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
        headers = curl_slist_append(headers, "Origin: https://app.example.test");
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
    }
    ~Client() {
        curl_slist_free_all(headers);
        curl_easy_cleanup(c);
    }
    bool post(const std::string& json) {
        char* escaped = curl_easy_escape(c, base64(json).c_str(), 0);
        std::string form = std::string("Parameter=") + escaped;
        curl_free(escaped);
        body.clear();
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, form.c_str());
        return curl_easy_perform(c) == CURLE_OK;
    }
};

std::string openRequest() {
    return std::string("{\"FunctionName\":\"TessarionEcho\",\"PathID\":\"") + kPathId +
           "\",\"minServerVersion\":\"1.0.21.0630\"}";
}

// ---- the bare server: the service's daemon settings, a fixed answer -------------------------

struct BareRequest {
    MHD_PostProcessor* pp;
    std::string parameter;
};

MHD_Result bareField(void* cls, MHD_ValueKind, const char* key, const char*, const char*, const char*,
                     const char* data, uint64_t, size_t size) {
    if (key && std::strcmp(key, "Parameter") == 0)
        static_cast<BareRequest*>(cls)->parameter.append(data, size);
    return MHD_YES;
}

MHD_Result bareHandler(void*, MHD_Connection* connection, const char*, const char*, const char*,
                       const char* upload, size_t* uploadSize, void** state) {
    auto* r = static_cast<BareRequest*>(*state);
    if (!r) {
        r = new BareRequest{nullptr, {}};
        r->pp = MHD_create_post_processor(connection, 8192, bareField, r);
        *state = r;
        return MHD_YES;
    }
    if (*uploadSize) {
        MHD_post_process(r->pp, upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    static const char answer[] = "{\"LibVersion\": \"MSwwLDIwLDkwNw==\", \"result\": \"MA==\"}";
    MHD_Response* response =
        MHD_create_response_from_buffer(sizeof answer - 1, (void*)answer, MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Access-Control-Allow-Origin", "https://app.example.test");
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    MHD_Result q = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return q;
}

void bareCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    auto* r = static_cast<BareRequest*>(*state);
    if (r) {
        if (r->pp) MHD_destroy_post_processor(r->pp);
        delete r;
    }
    *state = nullptr;
}

MHD_Daemon* startBare(const char* certificate, const char* key) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kBarePort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return MHD_start_daemon(MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD, kBarePort, acceptLocalOnly,
                            nullptr, bareHandler, nullptr, MHD_OPTION_SOCK_ADDR, (sockaddr*)&address,
                            MHD_OPTION_HTTPS_MEM_CERT, certificate, MHD_OPTION_HTTPS_MEM_KEY, key,
                            MHD_OPTION_HTTPS_PRIORITIES, TESSARION_TLS_PRIORITIES,
                            MHD_OPTION_NOTIFY_COMPLETED, bareCompleted, nullptr, MHD_OPTION_END);
}

// ---- measurements --------------------------------------------------------------------------

double throughput(int port, const std::string& request, double seconds) {
    std::atomic<long> done{0};
    std::atomic<bool> failed{false};
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    auto begin = Clock::now();
    for (int i = 0; i < kConnections; ++i)
        threads.emplace_back([&] {
            Client client(port);
            while (Clock::now() < end) {
                if (!client.post(request) || replyValue(client.body, "result") != "0") {
                    failed = true;
                    return;
                }
                ++done;
            }
        });
    for (auto& t : threads) t.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    if (failed) std::fprintf(stderr, "warning: a request failed on port %d\n", port);
    return done / elapsed;
}

// CPU seconds used so far by the daemon polling threads of a process.
double daemonCpuSeconds(pid_t pid) {
    double ticks = 0;
    for (auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("MHD", 0) != 0) continue;
        std::ifstream stat(task.path() / "stat");
        std::string all((std::istreambuf_iterator<char>(stat)), {});
        std::istringstream fields(all.substr(all.rfind(')') + 2));
        std::string f;
        for (int i = 3; i <= 15 && fields >> f; ++i)
            if (i == 14 || i == 15) ticks += std::atof(f.c_str());
    }
    return ticks / sysconf(_SC_CLK_TCK);
}

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (seconds <= 0) seconds = 3.0;
    if (unshare(CLONE_NEWNET) == 0) {
        if (std::system("ip link set lo up") != 0) std::fprintf(stderr, "warning: loopback not brought up\n");
    } else {
        std::printf("note: no network namespace; the service's fixed ports must be free\n");
    }
    curl_global_init(CURL_GLOBAL_ALL);

    char rootTemplate[] = "/tmp/kvlb-bench-XXXXXX";
    std::string root = mkdtemp(rootTemplate);
    setenv("KVLB_ROOT", root.c_str(), 1);
    fs::create_directories(root + "/bin/KVLB");
    fs::copy_file(KVLB_SERVICE_EXE, root + "/bin/KVLBTessarionMain.exe");
    // KVLB_BENCH_ADAPTER names another adapter library to measure with.
    const char* adapter = std::getenv("KVLB_BENCH_ADAPTER");
#ifdef KVLB_ADAPTER_DLL
    if (!adapter || !*adapter) adapter = KVLB_ADAPTER_DLL;
    if (std::system(KVLB_REGISTER_COMPONENT " >/dev/null") != 0)
        std::fprintf(stderr, "warning: component not registered\n");
#endif
    if (!adapter || !*adapter) {
        std::fprintf(stderr, "no adapter in this build: set KVLB_BENCH_ADAPTER\n");
        return 1;
    }
    fs::copy_file(adapter, root + "/bin/KVLB/KvlbTokenAdapter.dll");
    std::printf("adapter: %s\n", adapter);

    // The bare server uses the very certificate and key the service chooses on this machine.
    char* key = loadTlsPrivateKey();
    MHD_Daemon* bare = key ? startBare(useRsaCertificate() ? kRsaCertPem : kEcCertPem, key) : nullptr;
    if (!bare) {
        std::fprintf(stderr, "bare server did not start\n");
        return 1;
    }

    std::string exe = root + "/bin/KVLBTessarionMain.exe";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open((root + "/service.out").c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl(exe.c_str(), exe.c_str(), "0", (char*)nullptr);
        _exit(127);
    }
    Client control(kServicePort);
    auto deadline = Clock::now() + std::chrono::seconds(60);
    std::string sid;
    while (Clock::now() < deadline) {
        if (control.post(openRequest()) && !(sid = replyValue(control.body, "SessionID")).empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (sid.empty()) {
        std::fprintf(stderr, "the service did not answer: %s\n", control.body.c_str());
        kill(pid, SIGKILL);
        return 1;
    }

    // 1. Echo throughput, service and bare server alternately, best of three each (the machine may be busy).
    std::string echo = "{\"SessionId\":\"" + sid + "\",\"FunctionName\":\"TessarionEcho\"}";
    double service = 0, baseline = 0;
    double serviceCpu = 0, bareCpu = 0, serviceCount = 0, bareCount = 0;
    // A short unmeasured run on each first, so neither side is measured while still warming up.
    throughput(kBarePort, echo, std::min(seconds, 1.0));
    throughput(kServicePort, echo, std::min(seconds, 1.0));
    for (int round = 0; round < 3; ++round) {
        double cpu = daemonCpuSeconds(getpid());
        double rate = throughput(kBarePort, echo, seconds);
        bareCpu += daemonCpuSeconds(getpid()) - cpu;
        bareCount += rate * seconds;
        baseline = std::max(baseline, rate);
        cpu = daemonCpuSeconds(pid);
        rate = throughput(kServicePort, echo, seconds);
        serviceCpu += daemonCpuSeconds(pid) - cpu;
        serviceCount += rate * seconds;
        service = std::max(service, rate);
    }
    control.post("{\"SessionId\":\"" + sid + "\",\"FunctionName\":\"TessarionForceRelease\"}");

    // 2. Open and force-release, one kept-alive connection.
    std::vector<double> ms;
    for (int i = 0; i < 300; ++i) {
        auto t0 = Clock::now();
        control.post(openRequest());
        std::string id = replyValue(control.body, "SessionID");
        control.post("{\"SessionId\":\"" + id + "\",\"FunctionName\":\"TessarionForceRelease\"}");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (id.empty()) {
            std::fprintf(stderr, "open failed: %s\n", control.body.c_str());
            break;
        }
    }
    std::sort(ms.begin(), ms.end());
    double median = ms.empty() ? -1 : ms[ms.size() / 2];

    // 3. Memory with 32 sessions open.
    int opened = 0;
    for (int i = 0; i < 32; ++i)
        if (control.post(openRequest()) && replyValue(control.body, "result") == "0") ++opened;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    long rss = residentKiB(pid);

    std::printf("echo on an open session, %d kept-alive TLS connections:\n", kConnections);
    std::printf("  service %.0f req/s, bare server %.0f req/s, ratio %.2f (target >= 0.80)\n", service,
                baseline, baseline > 0 ? service / baseline : 0.0);
    std::printf("  daemon thread CPU per request: service %.1f us, bare server %.1f us\n",
                serviceCount > 0 ? 1e6 * serviceCpu / serviceCount : 0.0,
                bareCount > 0 ? 1e6 * bareCpu / bareCount : 0.0);
    std::printf("open + force-release of a session: median %.3f ms over %zu (target < 2 ms)\n", median,
                ms.size());
    std::printf("resident memory with %d sessions open: %.1f MiB (target < 64 MiB)\n", opened, rss / 1024.0);

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    MHD_stop_daemon(bare);
    if (key) {
        std::memset(key, 0, std::strlen(key));
        free(key);
    }
    if (!std::getenv("KVLB_KEEP_ROOT")) fs::remove_all(root);
    return 0;
}
