// The whole set in a root of its own: the real monitor, its watchdog (the real worker) and the real
// service, ended by the worker's verbs or by signals as a terminal's Ctrl-C ends them, and brought
// back. Each time the set must come back whole: one monitor, one watchdog, a service that answers.
#include <curl/curl.h>
#include <signal.h>

#include "monitor/tests/monitor_harness.h"
#include "worker/tests/program_harness.h"

namespace {

using harness::pollUntil;

constexpr const wchar_t* kMonitor = L"KVLBTessarionMonitor.exe";
constexpr const wchar_t* kWorker = L"KVLBTessarionWorker.exe";
constexpr const wchar_t* kService = L"KVLBTessarionMain.exe";

size_t ignoreBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

class WholeSet : public harness::ProgramTest {
  protected:
    void SetUp() override {
        mon::enterOwnNetwork();
        ProgramTest::SetUp();
        platform::setSetting("locale", "en_US.UTF-8");
        install(KVLB_MONITOR_EXE, "KVLBTessarionMonitor.exe");
        install(KVLB_SERVICE_EXE, "KVLBTessarionMain.exe");
        install(KVLB_WORKER_EXE, "KVLBTessarionWorker.exe");
    }

    // Processes of the root running that image.
    static std::vector<DWORD> pids(const std::wstring& image) {
        std::vector<DWORD> out;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            if (entry.szExeFile == image && entry.th32ProcessID != GetCurrentProcessId())
                out.push_back(entry.th32ProcessID);
        CloseHandle(snapshot);
        return out;
    }

    // The service gives an HTTP reply on its first port.
    static bool serviceAnswers() {
        CURL* c = curl_easy_init();
        if (!c) return false;
        // {"FunctionName":"TessarionEcho"} without an origin: answered with a refusal code.
        const char* body = "Parameter=eyJGdW5jdGlvbk5hbWUiOiJUZXNzYXJpb25FY2hvIn0%3D";
        curl_easy_setopt(c, CURLOPT_URL, "https://127.0.0.1:56462/");
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 5L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, ignoreBody);
        long status = 0;
        if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(c);
        return status == 200;
    }

    // One monitor, one worker process (its watchdog: no other run lingers) and a service that answers.
    static bool setIsWhole() {
        return pids(kMonitor).size() == 1 && pids(kWorker).size() == 1 && serviceAnswers();
    }
    static bool nothingRuns() {
        return pids(kMonitor).empty() && pids(kWorker).empty() && pids(kService).empty();
    }

    std::string state(const std::string& after) {
        std::string text = "after " + after + ": monitors " + std::to_string(pids(kMonitor).size()) +
                           ", workers " + std::to_string(pids(kWorker).size()) + ", service " +
                           (serviceAnswers() ? "answers" : "silent") + "; the log ends with\n";
        std::string all = log();
        size_t from = all.size();
        for (int lines = 0; lines < 40 && from > 0; ++lines) from = all.rfind('\n', from - 1);
        return text + all.substr(from == std::string::npos ? 0 : from);
    }

    // The set comes up and stays so: a second watchdog that gives way or a monitor that ends at once
    // at start-up would show within this time.
    void expectWholeSet(const std::string& after) {
        ASSERT_TRUE(pollUntil(setIsWhole, 60s)) << state(after);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_TRUE(setIsWhole()) << state(after);
        EXPECT_FALSE(logHas("Get mutex lock time out"));
    }

    // Ends every process of the root with that signal, the watchdog first, so that it cannot see
    // the monitor gone and reset the set itself.
    void killSet(int sig) {
        for (DWORD pid : pids(kWorker)) kill((pid_t)pid, sig);
        ASSERT_TRUE(pollUntil([&] { return pids(kWorker).empty(); }, 30s));
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            if (entry.th32ProcessID != GetCurrentProcessId()) kill((pid_t)entry.th32ProcessID, sig);
        CloseHandle(snapshot);
        ASSERT_TRUE(pollUntil(nothingRuns, 30s)) << state("the kill");
    }

    void startSetWithWorker() {
        EXPECT_EQ(worker("-start"), 0);
        ASSERT_NO_FATAL_FAILURE(expectWholeSet("-start"));
    }
};

TEST_F(WholeSet, ResetOfARunningSetBringsItBack) {
    ASSERT_NO_FATAL_FAILURE(startSetWithWorker());
    DWORD oldMonitor = pids(kMonitor).at(0);
    EXPECT_EQ(worker("-reset"), 0);
    EXPECT_TRUE(logHas("Reset complete"));
    ASSERT_NO_FATAL_FAILURE(expectWholeSet("-reset"));
    EXPECT_NE(pids(kMonitor).at(0), oldMonitor) << "the monitor was not restarted";
}

TEST_F(WholeSet, AllStopThenStartBringsItBack) {
    ASSERT_NO_FATAL_FAILURE(startSetWithWorker());
    EXPECT_EQ(worker("-allstop"), 0);
    EXPECT_TRUE(pollUntil(nothingRuns, 30s)) << "-allstop left something running";
    EXPECT_EQ(worker("-start"), 0);
    expectWholeSet("-allstop and -start");
}

// The run command starts the monitor in the terminal's process group; Ctrl-C (or a kill) ends the
// monitor, its watchdog and the service together while they hold their mutexes.
TEST_F(WholeSet, AMonitorStartedAfterTheSetWasKilledComesUpAtTheFirstTry) {
    for (int sig : {SIGKILL, SIGINT}) {
        SCOPED_TRACE(sig == SIGKILL ? "SIGKILL" : "SIGINT");
        HANDLE monitor = start("KVLBTessarionMonitor.exe", "");
        ASSERT_NE(monitor, nullptr);
        CloseHandle(monitor);
        ASSERT_NO_FATAL_FAILURE(expectWholeSet("a start"));
        ASSERT_NO_FATAL_FAILURE(killSet(sig));

        monitor = start("KVLBTessarionMonitor.exe", "");
        ASSERT_NE(monitor, nullptr);
        ASSERT_NO_FATAL_FAILURE(expectWholeSet("a start after the kill"));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(monitor, &code));
        EXPECT_EQ(code, STILL_ACTIVE) << "the monitor started after the kill ended";
        CloseHandle(monitor);
        ASSERT_NO_FATAL_FAILURE(killSet(SIGKILL));
    }
}

}  // namespace
