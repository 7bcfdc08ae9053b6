// Drives the 68 component functions of a running set from outside, over TLS: opens a session with
// an echo and a path id, calls every function of the table through it and checks each answer (only
// "result", with the function's default answer) and the line the stand-in component journaled
// for it (exactly one new line, with the arguments as the row gives them). Prints one "ok: ..." or
// "FAIL: ..." line per function; the exit status is non-zero when one failed.
//
//   kvlb_set_functions_check <port> <CA certificate file> <component journal file>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "adapter/tests/component_function_table.h"
#include "test_support/https_client.h"

using namespace component_table;
using test_support::unbase64;

namespace {

// The reply's keys with their decoded values (the service answers one object of "key": "Base64"
// pairs); "!" as a key when the reply is not such an object.
std::map<std::string, std::string> replyPairs(const std::string& body) {
    std::map<std::string, std::string> pairs;
    size_t at = body.find('{');
    if (at == std::string::npos || body.find('}') == std::string::npos) return {{"!", body}};
    for (;;) {
        size_t k = body.find('"', at + 1);
        if (k == std::string::npos || k > body.rfind('}')) break;
        size_t ke = body.find('"', k + 1);
        size_t v = body.find('"', ke + 1);
        size_t ve = v == std::string::npos ? v : body.find('"', v + 1);
        if (ke == std::string::npos || ve == std::string::npos) return {{"!", body}};
        pairs[body.substr(k + 1, ke - k - 1)] = unbase64(body.substr(v + 1, ve - v - 1));
        at = ve;
    }
    return pairs;
}

// The reply body, or "(no answer: <curl's error>)".
std::string answer(test_support::Client& client, const std::string& json) {
    return client.post(json) ? client.body
                             : std::string("(no answer: ") + curl_easy_strerror(client.status) + ")";
}

std::vector<std::string> journalLines(const char* path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kvlb_set_functions_check <port> <CA certificate> <journal>\n");
        return 2;
    }
    const char* journal = argv[3];
    curl_global_init(CURL_GLOBAL_ALL);
    int failed = 0;
    {
        // One kept-alive connection that posts the way a page of the customer's domain does.
        test_support::Client client(std::atoi(argv[1]), nullptr, argv[2]);
        std::string opened =
            answer(client, R"({"FunctionName":"TessarionEcho","PathID":"5D0E7B21C48A4F93B6E2D7150A9C3F68",)"
                           R"("minServerVersion":"1.0.21.0630"})");
        auto openReply = replyPairs(opened);
        std::string sid = openReply.count("SessionID") ? openReply["SessionID"] : "";
        if (sid.empty() || openReply["result"] != "0") {
            std::printf("FAIL: the 68 component functions: no session opened (%s)\n", opened.c_str());
            return 1;
        }
        for (const auto& f : kFunctions) {
            // The key check makes a key the adapter did not find answer 61016.
            Built b = buildCall(f, {{"SessionId", sid}, {"AdapterJsonKeyCheck", "true"}});
            size_t before = journalLines(journal).size();
            std::string body = answer(client, b.json);
            auto reply = replyPairs(body);
            std::vector<std::string> lines = journalLines(journal);
            std::string what = "function " + std::to_string(f.index) + " " + f.name;
            std::string want = defaultAnswer(f);
            if (reply.size() != 1 || !reply.count("result") || reply["result"] != want) {
                std::printf("FAIL: %s answered %s, not only \"result\" '%s'\n", what.c_str(), body.c_str(),
                            want.c_str());
                ++failed;
            } else if (lines.size() != before + 1 || lines.back() != b.journalLine) {
                std::printf("FAIL: %s: the journal grew by %d lines and ends with '%s', not '%s'\n",
                            what.c_str(), int(lines.size() - before),
                            lines.empty() ? "" : lines.back().c_str(), b.journalLine.c_str());
                ++failed;
            } else {
                std::printf(
                    "ok: %s through a session answers '%s' and reaches the component with its "
                    "arguments\n",
                    what.c_str(), want.c_str());
            }
        }
        client.post(R"({"SessionId":")" + sid + R"(","FunctionName":"TessarionForceRelease"})");
    }
    curl_global_cleanup();
    return failed ? 1 : 0;
}
