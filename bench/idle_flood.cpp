// Idle-connection flood against a running service (the Linux build or the Windows set under Wine):
// checks that connections which never send anything keep no new caller waiting.
//
//   kvlb_idle_flood [--idle N] [--hold SECONDS] [--within SECONDS] [--cafile PEM] PORT...
//
//   --idle N          idle TCP connections to open, spread over the ports in turn (default 1100)
//   --hold SECONDS    how long they are held, idle, before the callers ask (default 1, as the
//                     Linux suite's case holds them; the service ends a connection it drops to make
//                     room once that has been silent for a second)
//   --within SECONDS  the longest a caller may wait for its answer (default 1)
//   --cafile PEM      verify the service's certificate against this file (default: take it as it comes)
//
// First every port must answer an opening echo (so the service holds all of them); then the idle
// connections are opened and held, and on every port in turn a new caller asks the opening echo
// on a connection of its own. One line per answer: "port P: answered in T s, result R". The exit
// status is 0 when every port answered "0" within the bound, 1 when one did not, 2 on a usage or
// set-up error. The idle connections are closed at the end. Every wait is bounded: a connect
// gets 10 s, an answer 30 s.
//
// Run it where the service's ports are its own, e.g. in the network namespace of a check under Wine.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support/https_client.h"

namespace {

const char* kOpeningEcho =
    "{\"FunctionName\":\"TessarionEcho\",\"PathID\":\"5D0E7B21C48A4F93B6E2D7150A9C3F68\","
    "\"minServerVersion\":\"1.0.21.0630\"}";

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A TCP connection to 127.0.0.1:port, established within 10 s; -1 when not.
int connectIdle(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (errno != EINPROGRESS || poll(&p, 1, 10000) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

struct Answer {
    bool answered;
    std::string result;
    double seconds;
};

Answer ask(int port, const char* caFile) {
    test_support::Client client(port, nullptr, caFile);
    auto t0 = std::chrono::steady_clock::now();
    bool answered = client.post(kOpeningEcho);
    double took = secondsSince(t0);
    return {answered, answered ? test_support::replyValue(client.body, "result") : "", took};
}

int usage() {
    std::fprintf(
        stderr,
        "usage: kvlb_idle_flood [--idle N] [--hold SECONDS] [--within SECONDS] [--cafile PEM] PORT...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    long idle = 1100;
    double hold = 1, within = 1;
    const char* caFile = nullptr;
    std::vector<int> ports;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool valued = a == "--idle" || a == "--hold" || a == "--within" || a == "--cafile";
        if (valued && i + 1 >= argc) return usage();
        if (a == "--idle") {
            idle = std::atol(argv[++i]);
        } else if (a == "--hold") {
            hold = std::atof(argv[++i]);
        } else if (a == "--within") {
            within = std::atof(argv[++i]);
        } else if (a == "--cafile") {
            caFile = argv[++i];
        } else {
            int port = std::atoi(a.c_str());
            if (port <= 0 || port > 65535) return usage();
            ports.push_back(port);
        }
    }
    if (ports.empty() || idle < 0 || hold < 0 || hold > 60 || within <= 0) return usage();

    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    rlim_t wanted = static_cast<rlim_t>(idle) + 64;
    if (files.rlim_cur < wanted) {
        files.rlim_cur = files.rlim_max < wanted ? files.rlim_max : wanted;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);

    for (int port : ports) {
        Answer a = ask(port, caFile);
        if (!a.answered || a.result != "0") {
            std::fprintf(stderr, "port %d does not answer the opening echo before the flood (%s)\n", port,
                         a.answered ? ("result " + a.result).c_str() : "no answer");
            return 2;
        }
        std::printf("port %d: served before the flood in %.2f s\n", port, a.seconds);
    }

    std::vector<int> held;
    auto opened = std::chrono::steady_clock::now();
    for (long i = 0; i < idle; ++i) {
        int port = ports[static_cast<size_t>(i) % ports.size()];
        int fd = connectIdle(port);
        if (fd < 0) {
            std::fprintf(stderr, "idle connection %ld to port %d could not be opened: %s\n", i + 1, port,
                         std::strerror(errno));
            for (int f : held) close(f);
            return 2;
        }
        held.push_back(fd);
    }
    std::printf("%ld idle connections opened over %zu ports in %.2f s\n", idle, ports.size(),
                secondsSince(opened));
    if (hold > 0) std::this_thread::sleep_for(std::chrono::duration<double>(hold));

    bool good = true;
    for (int port : ports) {
        Answer a = ask(port, caFile);
        bool inTime = a.answered && a.seconds <= within;
        const char* note = !inTime ? " (too late)" : a.result != "0" ? " (not 0)" : "";
        std::printf("port %d: %s in %.2f s, result %s%s\n", port, a.answered ? "answered" : "no answer",
                    a.seconds, a.answered ? a.result.c_str() : "-", note);
        good = good && inTime && a.result == "0";
    }
    std::fflush(stdout);
    for (int fd : held) close(fd);
    curl_global_cleanup();
    return good ? 0 : 1;
}
