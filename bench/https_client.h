// The test side's own client of the service, kept apart from the system's codec so that it checks
// the service from outside: Base64 both ways, a reply's value, and a kept-alive libcurl connection
// posting the way a browser does. Shared by the benchmarks and the check of the installed set.
#pragma once

#include <curl/curl.h>

#include <cstring>
#include <string>

namespace bench {

inline const char* kOrigin = "https://app.example.test";
inline const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline std::string base64(const std::string& in) {
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

inline std::string unbase64(const std::string& in) {
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

// The reply's value of key, decoded; "" when absent (the reply is one line of "key": "Base64" pairs).
inline std::string replyValue(const std::string& body, const std::string& key) {
    std::string marker = "\"" + key + "\": \"";
    size_t at = body.find(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    size_t end = body.find('"', at);
    return end == std::string::npos ? "" : unbase64(body.substr(at, end - at));
}

inline size_t collect(char* p, size_t s, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, s * n);
    return s * n;
}

// One kept-alive client connection, posting the way a browser does; extraHeader, when given, is
// sent after the Origin. With caFile the service's certificate is verified against it; without,
// the certificate is taken as it comes.
struct Client {
    CURL* c = curl_easy_init();
    curl_slist* headers = nullptr;
    std::string body;
    CURLcode status = CURLE_OK;  // of the last post
    explicit Client(int port, const char* extraHeader = nullptr, const char* caFile = nullptr) {
        std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
        headers = curl_slist_append(headers, (std::string("Origin: ") + kOrigin).c_str());
        if (extraHeader) headers = curl_slist_append(headers, extraHeader);
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        if (caFile) {
            curl_easy_setopt(c, CURLOPT_CAINFO, caFile);
        } else {
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        }
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
    // The request as the form field "Parameter", Base64 of json; false when no answer came.
    bool post(const std::string& json) {
        char* escaped = curl_easy_escape(c, base64(json).c_str(), 0);
        std::string form = std::string("Parameter=") + escaped;
        curl_free(escaped);
        body.clear();
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, form.c_str());
        status = curl_easy_perform(c);
        return status == CURLE_OK;
    }
};

}  // namespace bench
