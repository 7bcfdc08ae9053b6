// Service benchmark. Starts KVLBTessarionMain.exe in a fresh machine root (in a network namespace
// of its own when it can have one) and, in this process, a bare libmicrohttpd TLS server with the
// service's daemon settings (same certificate and key, priority string, one polling thread), then:
//   1. echo on an open session over 8 kept-alive TLS connections, against the bare server's echo;
//   2. opening and force-releasing a session (copy, load, unlock, version, release, delete);
//   3. the service's resident memory with 32 sessions open.
// usage: kvlb_service_bench [seconds per throughput run]
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

#include "bench/bench_support.h"

using namespace bench;

namespace {

constexpr int kBarePort = 56901;

std::string openRequest() {
    return std::string("{\"FunctionName\":\"TessarionEcho\",\"PathID\":\"") + kPathId +
           "\",\"minServerVersion\":\"1.0.21.0630\"}";
}

const std::string kBareAnswer = "{\"LibVersion\": \"MSwwLDIwLDkwNw==\", \"result\": \"MA==\"}";

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
    if (!enterNetworkNamespace())
        std::printf("note: no network namespace; the service's fixed ports must be free\n");
    curl_global_init(CURL_GLOBAL_ALL);

    std::string root = makeMachineRoot("/tmp/kvlb-bench-XXXXXX", KVLB_SERVICE_EXE);
    if (root.empty()) return 1;
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
    char* key = nullptr;
    MHD_Daemon* bare = startBareLikeService(kBarePort, &kBareAnswer, &key);
    if (!bare) {
        std::fprintf(stderr, "bare server did not start\n");
        return 1;
    }

    pid_t pid = startService(root);
    if (pid < 0) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
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
        stopService(pid);
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

    stopService(pid);
    MHD_stop_daemon(bare);
    freeKey(key);
    if (!std::getenv("KVLB_KEEP_ROOT")) fs::remove_all(root);
    return 0;
}
