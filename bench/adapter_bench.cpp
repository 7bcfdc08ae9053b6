// Adapter benchmark. Starts KVLBTessarionMain.exe with the real adapter in a fresh machine root
// with the stand-in component registered (in a network namespace of its own when it can have one)
// and, in this process, a bare libmicrohttpd TLS server with the service's daemon settings (same
// certificate and key, priority string, one polling thread), then measures over 8 kept-alive TLS
// connections a component function (P11Init, answered by the stand-in) on an open session against
// the bare server's fixed answer of the same shape, in alternating rounds.
// usage: kvlb_adapter_bench [seconds per round]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "component/signing_component.h"
#include "platform/win_com.h"

using namespace bench;

namespace {

constexpr int kBarePort = 56911;
constexpr int kRounds = 3;
constexpr double kTarget = 0.70;
const char* kAnswer = "1000";  // the stand-in's P11Init: 1000 + its function index 0

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (seconds <= 0) seconds = 3.0;
    if (!enterNetworkNamespace())
        std::printf("note: no network namespace; ports %d and %d must be free\n", kServicePort, kBarePort);
    curl_global_init(CURL_GLOBAL_ALL);

    std::string root = makeMachineRoot("/tmp/kvlb-adapter-bench-XXXXXX", KVLB_SERVICE_EXE);
    if (root.empty()) return 1;
    fs::copy_file(KVLB_ADAPTER_DLL, root + "/bin/KVLB/KvlbTokenAdapter.dll");
    if (!platform::registerComServer(CLSID_SigningComponent, KVLB_COMPONENT_LIBRARY)) {
        std::fprintf(stderr, "cannot register the stand-in component under %s\n", root.c_str());
        return 1;
    }

    // The bare server answers what the service answers: "result" 1000, Base64 as on the wire.
    const std::string bareAnswer = "{\"result\": \"" + base64(kAnswer) + "\"}";
    char* key = nullptr;
    MHD_Daemon* bare = startBareLikeService(kBarePort, &bareAnswer, &key);
    if (!bare) {
        std::fprintf(stderr, "bare server did not start\n");
        return 1;
    }

    pid_t pid = startService(root);
    if (pid < 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }

    // Open the session with the function itself: the reply carries the session id and its answer.
    std::string opening = std::string("{\"FunctionName\":\"P11Init\",\"PathID\":\"") + kPathId +
                          "\",\"minServerVersion\":\"1.0.21.0630\",\"strLoadLibName\":\"bench.so\"}";
    std::string sid;
    {
        Client control(kServicePort, kFormHeader);
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            if (control.post(opening) && !(sid = replyValue(control.body, "SessionID")).empty()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (sid.empty() || replyValue(control.body, "result") != kAnswer) {
            std::fprintf(stderr, "no session opened: %s\n", control.body.c_str());
            stopService(pid);
            return 1;
        }
    }

    std::string call =
        "{\"SessionId\":\"" + sid + "\",\"FunctionName\":\"P11Init\",\"strLoadLibName\":\"bench.so\"}";
    double service = 0, baseline = 0;
    long bareAnswered = 0, serviceAnswered = 0;
    bool failed = false;
    for (int round = 0; round < kRounds && !failed; ++round) {
        double b = checkedThroughput(kBarePort, call, kAnswer, seconds, &bareAnswered);
        double s = checkedThroughput(kServicePort, call, kAnswer, seconds, &serviceAnswered);
        failed = b < 0 || s < 0;
        baseline = std::max(baseline, b);
        service = std::max(service, s);
    }

    stopService(pid);
    // Every answer must have come from the component: one journal line per call, the opening one too.
    long journaled = 0;
    {
        std::ifstream journal(root + "/component/journal.txt");
        for (std::string line; std::getline(journal, line);)
            journaled += line == "P11Init\tbstr:\"bench.so\"";
    }
    MHD_stop_daemon(bare);
    freeKey(key);
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
