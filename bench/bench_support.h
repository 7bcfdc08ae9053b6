// What the service and adapter benchmarks share beside the client (test_support/https_client.h):
// the bare libmicrohttpd TLS server with the service's daemon settings, starting the service in a
// fresh machine root, and a checked throughput measurement.
#pragma once

#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/https_front.h"
#include "service/service_main.h"
#include "service/tls_material.h"
#include "test_support/https_client.h"

namespace bench {

using test_support::base64;
using test_support::Client;
using test_support::kOrigin;
using test_support::replyValue;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kServicePort = 56462;
constexpr int kConnections = 8;
inline const char* kPathId = "5D0E7B21C48A4F93B6E2D7150A9C3F68";
inline const char* kFormHeader = "Content-Type: application/x-www-form-urlencoded";

// ---- the bare server: the service's daemon settings, a fixed answer -------------------------

struct BareRequest {
    MHD_PostProcessor* pp = nullptr;
    std::string parameter;
};

inline MHD_Result bareField(void* cls, MHD_ValueKind, const char* key, const char*, const char*, const char*,
                            const char* data, uint64_t, size_t size) {
    if (key && std::strcmp(key, "Parameter") == 0)
        static_cast<BareRequest*>(cls)->parameter.append(data, size);
    return MHD_YES;
}

// cls is the fixed answer, a std::string that outlives the daemon.
inline MHD_Result bareHandler(void* cls, MHD_Connection* connection, const char*, const char*, const char*,
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
    const auto* answer = static_cast<const std::string*>(cls);
    MHD_Response* response =
        MHD_create_response_from_buffer(answer->size(), (void*)answer->data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Access-Control-Allow-Origin", kOrigin);
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    MHD_Result q = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return q;
}

inline void bareCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    auto* r = static_cast<BareRequest*>(*state);
    if (r) {
        if (r->pp) MHD_destroy_post_processor(r->pp);
        delete r;
    }
    *state = nullptr;
}

inline MHD_Daemon* startBare(int port, const std::string* answer, const char* certificate, const char* key) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return MHD_start_daemon(
        MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD, port, acceptLocalOnly, nullptr, bareHandler,
        const_cast<std::string*>(answer), MHD_OPTION_SOCK_ADDR, (sockaddr*)&address,
        MHD_OPTION_HTTPS_MEM_CERT, certificate, MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_HTTPS_PRIORITIES,
        TESSARION_TLS_PRIORITIES, MHD_OPTION_NOTIFY_COMPLETED, bareCompleted, nullptr, MHD_OPTION_END);
}

// The bare server on the very certificate and key the service chooses on this machine; *key is
// the key to wipe with freeKey once the daemon has stopped. nullptr when it did not start.
inline MHD_Daemon* startBareLikeService(int port, const std::string* answer, char** key) {
    *key = loadTlsPrivateKey();
    return *key ? startBare(port, answer, useRsaCertificate() ? kRsaCertPem : kEcCertPem, *key) : nullptr;
}

inline void freeKey(char* key) {
    if (!key) return;
    std::memset(key, 0, std::strlen(key));
    free(key);
}

// ---- the service ----------------------------------------------------------------------------

// A network namespace of our own with loopback up, so the service's fixed ports are ours; false
// when none can be had.
inline bool enterNetworkNamespace() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    if (std::system("ip link set lo up") != 0) std::fprintf(stderr, "warning: loopback not brought up\n");
    return true;
}

// A fresh machine root from rootTemplate (ending in XXXXXX), made this process's KVLB_ROOT, with
// the service installed; "" when it cannot be made.
inline std::string makeMachineRoot(std::string rootTemplate, const char* serviceExe) {
    if (!mkdtemp(rootTemplate.data())) {
        std::perror("mkdtemp");
        return "";
    }
    const std::string& root = rootTemplate;
    setenv("KVLB_ROOT", root.c_str(), 1);
    fs::create_directories(root + "/bin/KVLB");
    fs::copy_file(serviceExe, root + "/bin/KVLBTessarionMain.exe");
    return root;
}

// Starts the installed service of root, its output in root/service.out; -1 when it cannot fork.
inline pid_t startService(const std::string& root) {
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
    return pid;
}

// Never with pid -1: that would signal every process we may signal.
inline void stopService(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Requests per second over kConnections kept-alive connections, each answer's "result" checked
// against expected; -1 when any was wrong. The TLS handshakes happen before the timed part.
// answered (when given) counts every request answered, the handshake ones included.
inline double checkedThroughput(int port, const std::string& request, const std::string& expected,
                                double seconds, long* answered = nullptr) {
    std::atomic<long> done{0};
    std::atomic<bool> failed{false};
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<Client>(port, kFormHeader));
        if (!clients.back()->post(request) || replyValue(clients.back()->body, "result") != expected) {
            std::fprintf(stderr, "port %d answered: %s\n", port, clients.back()->body.c_str());
            return -1;
        }
    }
    auto begin = Clock::now();
    auto end = begin + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (auto& client : clients)
        threads.emplace_back([&, c = client.get()] {
            while (!failed && Clock::now() < end) {
                if (!c->post(request) || replyValue(c->body, "result") != expected) {
                    std::fprintf(stderr, "port %d answered: %s\n", port, c->body.c_str());
                    failed = true;
                    return;
                }
                ++done;
            }
        });
    for (auto& t : threads) t.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    if (answered) *answered += done + kConnections;
    return failed ? -1 : done / elapsed;
}

}  // namespace bench
