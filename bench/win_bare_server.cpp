// A bare libmicrohttpd HTTPS server for Windows with the service's daemon settings (TLS 1.2 and
// 1.3 without SHA-1, one internal polling thread, loopback only; the priorities and the accept
// policy are the service's own): the yardstick the benchmarks of the Windows set measure the
// service against, under Wine in the same run. Every request gets the same small JSON answer once
// its form fields are read.
//
//   win_bare_server <port> <certificate.pem> <key.pem> [seconds]
//
// Prints "listening on 127.0.0.1:<port>" once the daemon runs; stops after the given seconds, or
// runs until it is ended when none are given.
#include <winsock2.h>
#include <windows.h>

#include <microhttpd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "service/https_front.h"

namespace {

const char kAnswer[] = "{\"result\": \"MTAwMA==\"}";
const char kOrigin[] = "https://app.example.test";

struct Request {
    MHD_PostProcessor* pp = nullptr;
    std::string parameter;
};

MHD_Result onField(void* cls, MHD_ValueKind, const char* key, const char*, const char*, const char*,
                   const char* data, uint64_t, size_t size) {
    if (key && std::strcmp(key, "Parameter") == 0) static_cast<Request*>(cls)->parameter.append(data, size);
    return MHD_YES;
}

MHD_Result onRequest(void*, MHD_Connection* connection, const char*, const char*, const char*,
                     const char* upload, size_t* uploadSize, void** state) {
    auto* r = static_cast<Request*>(*state);
    if (!r) {
        r = new Request;
        r->pp = MHD_create_post_processor(connection, 8192, onField, r);
        *state = r;
        return MHD_YES;
    }
    if (*uploadSize) {
        if (r->pp) MHD_post_process(r->pp, upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_Response* response = MHD_create_response_from_buffer(sizeof kAnswer - 1, const_cast<char*>(kAnswer),
                                                             MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Content-Type", "application/json");
    MHD_add_response_header(response, "Access-Control-Allow-Origin", kOrigin);
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

void onCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    auto* r = static_cast<Request*>(*state);
    if (r) {
        if (r->pp) MHD_destroy_post_processor(r->pp);
        delete r;
    }
    *state = nullptr;
}

bool readFile(const char* path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return !text->empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: win_bare_server <port> <certificate.pem> <key.pem> [seconds]\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::string certificate, key;
    if (port <= 0 || port > 65535 || !readFile(argv[2], &certificate) || !readFile(argv[3], &key)) {
        std::fprintf(stderr, "bad port, or certificate or key not readable\n");
        return 2;
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD, static_cast<uint16_t>(port), acceptLocalOnly, nullptr,
        onRequest, nullptr, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
        MHD_OPTION_HTTPS_MEM_CERT, certificate.c_str(), MHD_OPTION_HTTPS_MEM_KEY, key.c_str(),
        MHD_OPTION_HTTPS_PRIORITIES, TESSARION_TLS_PRIORITIES, MHD_OPTION_NOTIFY_COMPLETED, onCompleted,
        nullptr, MHD_OPTION_END);
    if (!daemon) {
        std::fprintf(stderr, "daemon did not start on port %d\n", port);
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    int seconds = argc > 4 ? std::atoi(argv[4]) : 0;
    if (seconds > 0) {
        Sleep(static_cast<DWORD>(seconds) * 1000);
    } else {
        for (;;) Sleep(INFINITE);
    }
    MHD_stop_daemon(daemon);
    std::memset(&key[0], 0, key.size());
    return 0;
}
