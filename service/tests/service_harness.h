// Test harness: one service per case, installed in the case's own machine root (program in
// <root>/bin, the adapter in <root>/bin/KVLB), in its own network namespace when one can be had,
// and spoken to over HTTPS as a browser does (test_support/https_client.h): a form field
// "Parameter" holding Base64 JSON.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/test_support.h"
#include "test_support/https_client.h"

namespace svc {

namespace fs = std::filesystem;

constexpr int kPort1 = 56462, kPort2 = 56562, kPort3 = 56662;
constexpr const char* kPathId = "5D0E7B21C48A4F93B6E2D7150A9C3F68";
using test_support::kOrigin;

// Each test program enters a network namespace of its own once, so the fixed ports are its own.
inline void enterOwnNetwork() {
    static bool done = false;
    if (done) return;
    done = true;
    if (unshare(CLONE_NEWNET) == 0) {
        if (std::system("ip link set lo up") != 0) std::fprintf(stderr, "loopback not brought up\n");
    }
}

// A flat JSON object of string values, as the pages send.
inline std::string json(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string s = "{";
    for (auto& [k, v] : pairs) {
        if (s.size() > 1) s += ",";
        s += "\"" + k + "\":\"" + v + "\"";
    }
    return s + "}";
}

using test_support::base64;
using test_support::collect;
using test_support::pollUntil;
using test_support::post;
using test_support::PostOptions;
using test_support::readText;
using test_support::Reply;
using test_support::replyValues;
using test_support::unbase64;

// One machine root with the service installed in it and, while started, running in it.
class ServiceTest : public ::testing::Test {
  protected:
    platform::TestRoot root;
    pid_t pid = -1;
    rlim_t openFileLimit = 0;  // the service's soft limit on open files; 0: the test's own

    std::string bin() const { return root.path() + "/bin"; }
    std::string dataFolder() const { return root.c("ProgramData/KVLBTessarionMain"); }
    std::string sessionCopy(int slot) const {
        return dataFolder() + "/Tempfile/Session_" + std::to_string(slot) + "/KvlbTokenAdapter.dll";
    }

    void SetUp() override {
        enterOwnNetwork();
        fs::create_directories(bin() + "/KVLB");
        fs::copy_file(KVLB_SERVICE_EXE, bin() + "/KVLBTessarionMain.exe");
        installAdapter(KVLB_FIXTURE_BOTH);
        // The log goes to C:\svc.log in the root, so each case reads its own records.
        fs::create_directories(root.c("Windows"));
        std::ofstream(root.ini()) << "[KVLBTessarion]\nLog File=C:\\svc.log\nLog MaxSize=0\nLog Level=5\n";
    }

    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void installAdapter(const char* library) {
        fs::copy_file(library, bin() + "/KVLB/KvlbTokenAdapter.dll", fs::copy_options::overwrite_existing);
    }

    void adapterSettings(const std::string& lines) {
        std::ofstream(root.path() + "/fixture_adapter.ini") << lines;
    }

    std::string journal() const { return readText(root.path() + "/fixture_journal.txt"); }

    std::string log() const {
        std::string all;
        if (fs::exists(root.c()))
            for (auto& e : fs::directory_iterator(root.c()))
                if (e.path().filename().string().rfind("svc_", 0) == 0) all += readText(e.path());
        return all;
    }

    bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }

    size_t logCount(const std::string& text) const {
        std::string all = log();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

    // Starts the service; with wait, until it reports the outcome of its start-up.
    void start(const std::vector<std::string>& args = {"0"}, bool wait = true) {
        std::string exe = bin() + "/KVLBTessarionMain.exe";
        std::string out = root.path() + "/service.out";
        size_t startsBefore = logCount("KVLBTessarion initialization: ");
        pid = fork();
        if (pid == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            rlimit files{};
            if (openFileLimit && getrlimit(RLIMIT_NOFILE, &files) == 0) {
                files.rlim_cur = openFileLimit;
                setrlimit(RLIMIT_NOFILE, &files);
            }
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        if (wait) {
            ASSERT_TRUE(pollUntil([&] {
                return logCount("KVLBTessarion initialization: ") > startsBefore || !running();
            })) << "the service did not finish its start-up";
        }
    }

    bool running() {
        if (pid <= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid = -1;
            return false;
        }
        return true;
    }

    // The exit code once the service has ended within the deadline, else -1.
    int waitExit(std::chrono::milliseconds within = 60s) {
        if (!pollUntil([&] { return !running(); }, within)) return -1;
        return exitCode;
    }

    int exitCode = -1;

    // A request that opens a session through the path table.
    static std::vector<std::pair<std::string, std::string>> opening(const std::string& function) {
        return {{"FunctionName", function}, {"PathID", kPathId}, {"minServerVersion", "1.0.21.0630"}};
    }

    std::string openSession() {
        Reply r = post(json(opening("TessarionEcho")));
        EXPECT_EQ(r.get("result"), "0") << r.body;
        return r.get("SessionID");
    }
};

}  // namespace svc
