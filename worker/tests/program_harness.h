// Test harness: a machine root with the programs installed side by side in <root>/bin (the real
// worker, stand-ins under the image names they stand for), logging to C:\w.log, the programs
// started by their Windows command lines, and every process of the root ended afterwards.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/test_process.h"
#include "platform/test_root.h"
#include "platform/test_support.h"
#include "platform/win_base.h"

namespace harness {

namespace fs = std::filesystem;

using test_support::pollUntil;
using test_support::readText;

inline size_t countOf(const std::string& all, const std::string& text) {
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
}

inline std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

class ProgramTest : public ::testing::Test {
  protected:
    platform::TestRoot root;

    void SetUp() override {
        fs::create_directories(bin());
        fs::create_directories(root.c("Windows"));
        fs::create_directories(root.path() + "/standins");
        std::ofstream(root.ini()) << "[KVLBTessarion]\nLog File=C:\\w.log\nLog MaxSize=0\nLog Level=5\n";
    }

    void TearDown() override { endAll(); }

    std::string bin() const { return root.path() + "/bin"; }
    // The Windows form of a host path (drive Z: is the host's /).
    void install(const std::string& program, const std::string& name, const std::string& folder = "") {
        std::string target = (folder.empty() ? bin() : folder) + "/" + name;
        fs::create_directories(fs::path(target).parent_path());
        fs::copy_file(program, target, fs::copy_options::overwrite_existing);
    }
    void standinMode(const std::string& name, const std::string& mode) {
        std::ofstream(root.path() + "/standins/" + name + ".mode") << mode << "\n";
    }
    std::string events(const std::string& name) const {
        return readText(root.path() + "/standins/" + name + ".events");
    }
    bool eventsHave(const std::string& name, const std::string& line) const {
        return ("\n" + events(name)).find("\n" + line + "\n") != std::string::npos;
    }

    std::string log() const {
        std::string all;
        if (fs::exists(root.c()))
            for (auto& e : fs::directory_iterator(root.c()))
                if (e.path().filename().string().rfind("w_", 0) == 0) all += readText(e.path());
        return all;
    }
    bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }
    size_t logCount(const std::string& text) const { return countOf(log(), text); }

    // Starts <bin>/<program> with the arguments as a Windows command line; the process handle.
    HANDLE start(const std::string& program, const std::string& arguments) {
        std::wstring line = L"\"" + test_support::windowsPath(bin() + "/" + program) + L"\"";
        if (!arguments.empty()) line += L" " + wide(arguments);
        std::vector<wchar_t> buffer(line.begin(), line.end());
        buffer.push_back(L'\0');
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        std::wstring folder = test_support::windowsPath(root.path());
        if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                            folder.c_str(), &startup, &info))
            return nullptr;
        CloseHandle(info.hThread);
        return info.hProcess;
    }

    // The exit code once the process has ended within the deadline, else -1.
    static long waitExit(HANDLE process, std::chrono::milliseconds within = 60s) {
        if (process == nullptr) return -2;
        long result = -1;
        if (WaitForSingleObject(process, (DWORD)within.count()) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            result = (long)code;
        }
        CloseHandle(process);
        return result;
    }

    // Runs the worker with that command line tail and waits for its end.
    long worker(const std::string& arguments, std::chrono::milliseconds within = 60s) {
        return waitExit(start("KVLBTessarionWorker.exe", arguments), within);
    }

    // The desktop driver acting on this root's session ("lock", "unlock", ...).
    static void desktop(const std::string& verb) {
        std::string command = std::string(KVLB_BIN_DIR) + "/kvlbdesktop " + verb;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    static bool running(const std::wstring& image) {
        bool found = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            if (entry.szExeFile == image && entry.th32ProcessID != GetCurrentProcessId()) found = true;
        CloseHandle(snapshot);
        return found;
    }

    // Ends every process of this root but the test itself.
    static void endAll() {
        for (int round = 0; round < 50; ++round) {
            bool any = false;
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W entry = {};
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32FirstW(snapshot, &entry); more;
                 more = Process32NextW(snapshot, &entry)) {
                if (entry.th32ProcessID == GetCurrentProcessId()) continue;
                any = true;
                HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
                if (p) {
                    TerminateProcess(p, 1);
                    CloseHandle(p);
                }
            }
            CloseHandle(snapshot);
            if (!any) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
};

}  // namespace harness
