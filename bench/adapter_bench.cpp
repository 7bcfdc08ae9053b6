// Adapter benchmark. Starts KVLBTessarionMain.exe with the real adapter in a fresh machine root
// with the stand-in component registered (in a network namespace of its own when it can have one)
// and, in this process, a bare libmicrohttpd TLS server with the service's daemon settings (same
// certificate and key, priority string, one polling thread), then measures over 8 kept-alive TLS
// connections a component function (P11Init, answered by the stand-in) on an open session against
// the bare server's fixed answer of the same shape, in alternating rounds.
// usage: kvlb_adapter_bench [seconds per round]
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
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "component/signing_component.h"
#include "platform/win_com.h"
#include "service/https_front.h"
#include "service/service_main.h"
#include "service/tls_material.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kServicePort = 56462;
constexpr int kBarePort = 56911;
constexpr int kConnections = 8;
constexpr int kRounds = 3;
constexpr double kTarget = 0.70;
const char* kPathId = "5D0E7B21C48A4F93B6E2D7150A9C3F68";
const char* kOrigin = "https://app.example.test";
const char* kAnswer = "1000";  // the stand-in's P11Init: 1000 + its function index 0

const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string& in) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (unsigned char c : in) {
        v = v << 8 | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += kAlphabet[v >> bits & 63];
        }
    }
    if (bits) out += kAlphabet[v << (6 - bits) & 63];
    while (out.size() % 4) out += '=';
    return out;
}

std::string unbase64(const std::string& in) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
        if (!p) break;
        v = v << 6 | unsigned(p - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char(v >> bits & 255);
        }
    }
    return out;
}

// The reply's value of key, decoded; "" when absent.
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
        headers = curl_slist_append(headers, (std::string("Origin: ") + kOrigin).c_str());
        headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
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
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool post(const std::string& json) {
        char* escaped = curl_easy_escape(c, base64(json).c_str(), 0);
        std::string form = std::string("Parameter=") + escaped;
        curl_free(escaped);
        body.clear();
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, form.c_str());
        return curl_easy_perform(c) == CURLE_OK;
    }
};

// ---- the bare server: the service's daemon settings, a fixed answer of the same shape -------

struct BareRequest {
    MHD_PostProcessor* pp = nullptr;
    std::string parameter;
};

std::string bareAnswer;

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
        r = new BareRequest;
        r->pp = MHD_create_post_processor(connection, 8192, bareField, r);
        *state = r;
        return MHD_YES;
    }
    if (*uploadSize) {
        MHD_post_process(r->pp, upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(bareAnswer.size(), (void*)bareAnswer.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Access-Control-Allow-Origin", kOrigin);
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

// Requests per second over kConnections kept-alive connections; -1 when any answer was wrong.
// answered counts every request answered, the warm-up ones included.
double throughput(int port, const std::string& request, double seconds, long* answered) {
    std::atomic<long> done{0};
    std::atomic<bool> failed{false};
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        // The TLS handshakes happen here, outside the timed part: the connections are kept alive.
        if (!clients.back()->post(request) || replyValue(clients.back()->body, "result") != kAnswer)
            failed = true;
    }
    auto begin = Clock::now();
    auto end = begin + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (auto& client : clients)
        threads.emplace_back([&, c = client.get()] {
            while (!failed && Clock::now() < end) {
                if (!c->post(request) || replyValue(c->body, "result") != kAnswer) {
                    std::fprintf(stderr, "port %d answered: %s\n", port, c->body.c_str());
                    failed = true;
                    return;
                }
                ++done;
            }
        });
    for (auto& t : threads) t.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    *answered += done + kConnections;
    return failed ? -1 : done / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (seconds <= 0) seconds = 3.0;
    if (unshare(CLONE_NEWNET) == 0) {
        if (std::system("ip link set lo up") != 0) std::fprintf(stderr, "warning: loopback not brought up\n");
    } else {
        std::printf("note: no network namespace; ports %d and %d must be free\n", kServicePort, kBarePort);
    }
    curl_global_init(CURL_GLOBAL_ALL);

    char rootTemplate[] = "/tmp/kvlb-adapter-bench-XXXXXX";
    if (!mkdtemp(rootTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string root = rootTemplate;
    setenv("KVLB_ROOT", root.c_str(), 1);
    fs::create_directories(root + "/bin/KVLB");
    fs::copy_file(KVLB_SERVICE_EXE, root + "/bin/KVLBTessarionMain.exe");
    fs::copy_file(KVLB_ADAPTER_DLL, root + "/bin/KVLB/KvlbTokenAdapter.dll");
    if (!platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY)) {
        std::fprintf(stderr, "cannot register the stand-in component under %s\n", root.c_str());
        return 1;
    }

    // The bare server answers what the service answers: "result" 1000, Base64 as on the wire.
    bareAnswer = "{\"result\": \"" + base64(kAnswer) + "\"}";
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

    // Open the session with the function itself: the reply carries the session id and its answer.
    std::string opening = std::string("{\"FunctionName\":\"P11Init\",\"PathID\":\"") + kPathId +
                          "\",\"minServerVersion\":\"1.0.21.0630\",\"strLoadLibName\":\"bench.so\"}";
    std::string sid;
    {
        Client control(kServicePort);
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            if (control.post(opening) && !(sid = replyValue(control.body, "SessionID")).empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (sid.empty() || replyValue(control.body, "result") != kAnswer) {
            std::fprintf(stderr, "no session opened: %s\n", control.body.c_str());
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return 1;
        }
    }

    std::string call =
        "{\"SessionId\":\"" + sid + "\",\"FunctionName\":\"P11Init\",\"strLoadLibName\":\"bench.so\"}";
    double service = 0, baseline = 0;
    long bareAnswered = 0, serviceAnswered = 0;
    bool failed = false;
    for (int round = 0; round < kRounds && !failed; ++round) {
        double b = throughput(kBarePort, call, seconds, &bareAnswered);
        double s = throughput(kServicePort, call, seconds, &serviceAnswered);
        failed = b < 0 || s < 0;
        baseline = std::max(baseline, b);
        service = std::max(service, s);
    }

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    // Every answer must have come from the component: one journal line per call, the opening one too.
    long journaled = 0;
    {
        std::ifstream journal(root + "/component/journal.txt");
        for (std::string line; std::getline(journal, line);)
            journaled += line == "P11Init\tbstr:\"bench.so\"";
    }
    MHD_stop_daemon(bare);
    std::memset(key, 0, std::strlen(key));
    free(key);
    if (!std::getenv("KVLB_KEEP_ROOT")) fs::remove_all(root);

    if (failed) {
        std::fprintf(stderr, "a request got a wrong answer\n");
        return 1;
    }
    if (journaled != serviceAnswered + 1) {
        std::fprintf(stderr, "%ld calls answered by the service, %ld journaled by the component\n",
                     serviceAnswered + 1, journaled);
        return 1;
    }
    double ratio = baseline > 0 ? service / baseline : 0.0;
    std::printf(
        "component function (P11Init) on an open session, %d kept-alive TLS connections, best of %d:\n",
        kConnections, kRounds);
    std::printf("  service %.0f req/s, bare server %.0f req/s, ratio %.2f (target >= %.2f): %s\n", service,
                baseline, ratio, kTarget, ratio >= kTarget ? "met" : "NOT met");
    return ratio >= kTarget ? 0 : 2;
}
