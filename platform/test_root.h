// Test helper: a fresh machine for one test case, put back afterwards.
//
// Linux: a root folder of the emulation of its own (drive C: is <root>/c), removed afterwards.
// Windows: the machine is the test prefix itself, so drive C: is the real one. The case gets a
// scratch folder of its own; what it added to C:\, the programs' data folder and the log inis of
// the Windows and temp folders are removed when it ends (other tests' folders of the common data
// folder are left alone). Tests that use it hold the ctest lock
// "KvlbMachine". A case that is killed leaves its files behind.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/win_base.h"
#else
#include <unistd.h>
#endif

namespace platform {

class TestRoot {
  public:
#ifdef _WIN32
    TestRoot() {
        wchar_t temp[MAX_PATH] = {};
        DWORD n = GetTempPathW(MAX_PATH, temp);
        if (n > 0 && n < MAX_PATH) {
            for (unsigned i = 0; i < 1000; ++i) {
                std::wstring name = std::wstring(temp) + L"kvlb-root-" +
                                    std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(i);
                if (CreateDirectoryW(name.c_str(), nullptr)) {
                    path_ = std::filesystem::path(name).string();
                    break;
                }
                if (GetLastError() != ERROR_ALREADY_EXISTS) break;
            }
        }
        before_ = entries();
        if (n > 0 && n < MAX_PATH)
            added_.push_back(std::filesystem::path(temp).string() + "KVLBTessarion.ini");
        added_.push_back(ini());
        added_.push_back(c("ProgramData/KVLBTessarionMain"));
        for (auto it = added_.begin(); it != added_.end();)
            it = std::filesystem::exists(*it) ? added_.erase(it) : it + 1;
    }
    ~TestRoot() {
        if (std::getenv("KVLB_KEEP_ROOT")) return;
        std::error_code ec;
        for (const auto& name : entries())
            if (!before_.count(name)) std::filesystem::remove_all(c(name), ec);
        for (const auto& path : added_) std::filesystem::remove_all(path, ec);
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    // Host path of a Windows path on drive C: ("Windows\\System32" -> C:/Windows/System32).
    std::string c(const std::string& rel = "") const {
        return slashed("C:/" + rel);
    }
    // The Windows folder as the system names it ("C:\\windows" under Wine).
    static std::string windowsFolder() {
        char dir[MAX_PATH] = {};
        UINT n = GetWindowsDirectoryA(dir, MAX_PATH);
        return n > 0 && n < MAX_PATH ? std::string(dir, n) : std::string();
    }
#else
    TestRoot() {
        char tmpl[] = "/tmp/kvlb-root-XXXXXX";
        const char* made = mkdtemp(tmpl);
        path_ = made ? made : "";
        previous_ = std::getenv("KVLB_ROOT") ? std::getenv("KVLB_ROOT") : "";
        setenv("KVLB_ROOT", path_.c_str(), 1);
    }
    ~TestRoot() {
        if (previous_.empty())
            unsetenv("KVLB_ROOT");
        else
            setenv("KVLB_ROOT", previous_.c_str(), 1);
        if (!std::getenv("KVLB_KEEP_ROOT")) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    // Host path of a Windows path on drive C: ("Windows\\System32" -> <root>/c/Windows/System32).
    std::string c(const std::string& rel = "") const {
        return slashed(path_ + "/c/" + rel);
    }
    // The Windows folder as the system names it.
    static std::string windowsFolder() {
        return "C:\\Windows";
    }
#endif
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;
    // A folder of the case's own for files only the test and its helpers read.
    const std::string& path() const {
        return path_;
    }
    // Host path of the log ini the programs look for in the Windows folder.
    std::string ini() const {
        return c("Windows/KVLBTessarion.ini");
    }
    // Its Windows path, as the log names it.
    static std::string iniName() {
        return windowsFolder() + "\\KVLBTessarion.ini";
    }

  private:
    static std::string slashed(std::string p) {
        for (auto& ch : p)
            if (ch == '\\') ch = '/';
        return p;
    }
    std::string path_;
#ifdef _WIN32
    // The names in C:\.
    static std::set<std::string> entries() {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("C:/", ec))
            names.insert(e.path().filename().string());
        return names;
    }
    std::set<std::string> before_;
    std::vector<std::string> added_;  // machine paths the case may add, where it found none
#else
    std::string previous_;
#endif
};

}  // namespace platform
