// Test support: the test side's own client of the service, kept apart from the system's codec so
// that it checks the service from outside: Base64 both ways, a reply's values, one request with
// the options a test varies, and a kept-alive libcurl connection posting the way a browser does.
// Shared by the service's and the end-to-end tests, the benchmarks and the checks of the
// installed set (kvlb_test_https).
#pragma once

#include <curl/curl.h>

#include <cctype>
#include <cstring>
#include <map>
#include <regex>
#include <string>

namespace test_support {

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

// Every key of a reply with its decoded value (the reply is one line of "key": "Base64" pairs).
inline std::map<std::string, std::string> replyValues(const std::string& body) {
    std::map<std::string, std::string> values;
    std::regex pair("\"([^\"]*)\": \"([^\"]*)\"");
    for (std::sregex_iterator i(body.begin(), body.end(), pair), e; i != e; ++i)
        values[(*i)[1]] = unbase64((*i)[2]);
    return values;
}

// The reply's value of key, decoded; "" when absent (a plain search: the benchmarks read it per
// request).
inline std::string replyValue(const std::string& body, const std::string& key) {
    std::string marker = "\"" + key + "\": \"";
    size_t at = body.find(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    size_t end = body.find('"', at);
    return end == std::string::npos ? "" : unbase64(body.substr(at, end - at));
}

// The form a browser posts: the field "Parameter" holding value, URL-escaped.
inline std::string parameterForm(CURL* c, const std::string& value) {
    char* escaped = curl_easy_escape(c, value.c_str(), (int)value.size());
    std::string form = "Parameter=" + std::string(escaped);
    curl_free(escaped);
    return form;
}

// With caFile the service's certificate is verified against it; without, it is taken as it comes.
inline void trustServer(CURL* c, const char* caFile) {
    if (caFile != nullptr && caFile[0] != '\0') {
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile);
    } else {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }
}

inline size_t collect(char* p, size_t s, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, s * n);
    return s * n;
}

// One kept-alive client connection, posting the way a browser does; extraHeader, when given, is
// sent after the Origin; caFile as trustServer takes it.
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
        trustServer(c, caFile);
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
        std::string form = parameterForm(c, base64(json));
        body.clear();
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, form.c_str());
        status = curl_easy_perform(c);
        return status == CURLE_OK;
    }
};

// One request's answer.
struct Reply {
    bool replied = false;  // an HTTP reply arrived
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::map<std::string, std::string> values;   // reply keys with decoded values
    std::string get(const std::string& k) const {
        auto i = values.find(k);
        return i == values.end() ? "<absent>" : i->second;
    }
    bool has(const std::string& k) const { return values.count(k) != 0; }
};

struct PostOptions {
    int port = 56462;
    std::string method = "POST";
    std::string host;              // empty: curl's own ("127.0.0.1:<port>")
    std::string origin = kOrigin;  // "-": no Origin header
    std::string referer;           // empty: none
    std::string contentType;       // empty: the browser's form type
    std::string extraField;        // a further form field, "name=value"
    std::string rawBody;           // sent as it stands instead of the Parameter field
    bool rawParameter = false;     // the Parameter value is not Base64 of the JSON
    long tlsVersion = CURL_SSLVERSION_TLSv1_2;
    long tlsMax = CURL_SSLVERSION_MAX_DEFAULT;
    std::string cipherList;     // GnuTLS priority string for the client
    std::string sourceAddress;  // the client's own address
    std::string caFile;         // verify the server against this certificate
    long timeoutSeconds = 120;  // the whole exchange
};

inline size_t collectHeader(char* p, size_t s, size_t n, void* out) {
    std::string line(p, s * n);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = (char)std::tolower((unsigned char)c);
        std::string value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return s * n;
}

// One request on a connection of its own: the form field "Parameter" holding Base64 of request,
// as a browser posts it, or what the options make of it.
inline Reply post(const std::string& request, const PostOptions& o = {}) {
    Reply r;
    CURL* c = curl_easy_init();
    std::string url = "https://127.0.0.1:" + std::to_string(o.port) + "/";
    std::string body;
    if (!o.rawBody.empty()) {
        body = o.rawBody;
    } else {
        body = parameterForm(c, o.rawParameter ? request : base64(request));
        if (!o.extraField.empty()) body += "&" + o.extraField;
    }
    curl_slist* headers = nullptr;
    if (!o.host.empty()) headers = curl_slist_append(headers, ("Host: " + o.host).c_str());
    if (o.origin != "-") headers = curl_slist_append(headers, ("Origin: " + o.origin).c_str());
    if (!o.referer.empty()) headers = curl_slist_append(headers, ("Referer: " + o.referer).c_str());
    headers = curl_slist_append(
        headers, ("Content-Type: " +
                  (o.contentType.empty() ? std::string("application/x-www-form-urlencoded") : o.contentType))
                     .c_str());
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, o.method.c_str());
    if (o.method != "GET") {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, (long)body.size());
    }
    trustServer(c, o.caFile.c_str());
    curl_easy_setopt(c, CURLOPT_SSLVERSION, o.tlsVersion | o.tlsMax);
    if (!o.cipherList.empty()) curl_easy_setopt(c, CURLOPT_SSL_CIPHER_LIST, o.cipherList.c_str());
    if (!o.sourceAddress.empty()) curl_easy_setopt(c, CURLOPT_INTERFACE, o.sourceAddress.c_str());
    curl_easy_setopt(c, CURLOPT_TIMEOUT, o.timeoutSeconds);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK) {
        r.replied = true;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        r.values = replyValues(r.body);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return r;
}

}  // namespace test_support
