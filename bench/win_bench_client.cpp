// Client side of the Windows set's benchmark (bench/win_bench.sh). The set and a bare Win32
// libmicrohttpd server already run under Wine; this measures both from this machine with the Linux
// benchmarks' client: the echo on an open session and a component function (P11Init, answered by
// the registered stand-in) over 8 kept-alive TLS connections, service and bare server in
// alternating rounds, and the open + force-release time of a session.
// usage: kvlb_win_bench_client <service port> <bare port> [seconds per round]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

using namespace bench;

namespace {

constexpr int kRounds = 3;
const char* kBareResult = "1000";  // the bare server's fixed answer
const char* kCallResult = "1000";  // the stand-in's P11Init: 1000 + its function index 0

std::string opening(const char* function, const char* extra) {
    return std::string("{\"FunctionName\":\"") + function + "\",\"PathID\":\"" + kPathId +
           "\",\"minServerVersion\":\"1.0.21.0630\"" + extra + "}";
}

std::string openSession(Client& control, const std::string& request) {
    control.post(request);
    return replyValue(control.body, "SessionID");
}

void release(Client& control, const std::string& sid) {
    control.post("{\"SessionId\":\"" + sid + "\",\"FunctionName\":\"TessarionForceRelease\"}");
}

// Best of kRounds, service and bare server alternately; false when an answer was wrong.
bool compare(const char* what, int servicePort, int barePort, const std::string& request,
             const std::string& expected, double seconds) {
    double service = 0, bare = 0;
    checkedThroughput(barePort, request, kBareResult, std::min(seconds, 1.0));  // warm-up, unmeasured
    checkedThroughput(servicePort, request, expected, std::min(seconds, 1.0));
    for (int round = 0; round < kRounds; ++round) {
        double b = checkedThroughput(barePort, request, kBareResult, seconds);
        double s = checkedThroughput(servicePort, request, expected, seconds);
        if (b < 0 || s < 0) return false;
        bare = std::max(bare, b);
        service = std::max(service, s);
    }
    std::printf("%s, %d kept-alive TLS connections:\n", what, kConnections);
    std::printf("  service %.0f req/s, bare server %.0f req/s, ratio %.2f\n", service, bare,
                bare > 0 ? service / bare : 0.0);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kvlb_win_bench_client <service port> <bare port> [seconds per round]\n");
        return 2;
    }
    int servicePort = std::atoi(argv[1]), barePort = std::atoi(argv[2]);
    double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
    if (seconds <= 0) seconds = 3.0;
    curl_global_init(CURL_GLOBAL_ALL);
    Client control(servicePort, kFormHeader);
    bool ok = true;

    // 1. The echo on an open session.
    std::string sid = openSession(control, opening("TessarionEcho", ""));
    if (sid.empty()) {
        std::fprintf(stderr, "no session opened: %s\n", control.body.c_str());
        return 1;
    }
    ok = compare("echo on an open session", servicePort, barePort,
                 "{\"SessionId\":\"" + sid + "\",\"FunctionName\":\"TessarionEcho\"}", "0", seconds) &&
         ok;
    release(control, sid);

    // 2. A component function through the adapter to the registered stand-in.
    sid = openSession(control, opening("P11Init", ",\"strLoadLibName\":\"bench.so\""));
    if (sid.empty() || replyValue(control.body, "result") != kCallResult) {
        std::fprintf(stderr, "no session opened with P11Init: %s\n", control.body.c_str());
        return 1;
    }
    ok = compare(
             "component call (P11Init to the stand-in) on an open session", servicePort, barePort,
             "{\"SessionId\":\"" + sid + "\",\"FunctionName\":\"P11Init\",\"strLoadLibName\":\"bench.so\"}",
             kCallResult, seconds) &&
         ok;
    release(control, sid);

    // 3. Open and force-release, one kept-alive connection.
    std::vector<double> ms;
    for (int i = 0; i < 100; ++i) {
        auto t0 = Clock::now();
        std::string id = openSession(control, opening("TessarionEcho", ""));
        if (id.empty()) {
            std::fprintf(stderr, "open failed: %s\n", control.body.c_str());
            ok = false;
            break;
        }
        release(control, id);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty())
        std::printf("open + force-release of a session: median %.3f ms over %zu\n", ms[ms.size() / 2],
                    ms.size());
    if (!ok) std::fprintf(stderr, "a request got a wrong answer\n");
    return ok ? 0 : 1;
}
