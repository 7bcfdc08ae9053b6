// Test helper: paths between the host and Windows, and other programs started through the Windows
// API, so that one test source starts, waits for and ends its helper processes in both builds.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "platform/test_support.h"
#include "platform/win_base.h"

namespace test_support {

// The Windows form of a host path. Both builds see the host's root as drive Z:; a path that
// already names its drive stays on it.
inline std::wstring windowsPath(const std::string& host) {
    std::wstring out(host.begin(), host.end());
    for (auto& ch : out)
        if (ch == L'/') ch = L'\\';
    if (out.size() >= 2 && out[1] == L':') return out;
    return L"Z:" + out;
}

// The host path of a Windows path; "" when it has none.
inline std::string hostPath(const wchar_t* windows) {
#ifdef _WIN32
    char out[MAX_PATH * 4] = {};
    if (!WideCharToMultiByte(CP_UTF8, 0, windows, -1, out, sizeof out, nullptr, nullptr)) return "";
    return out;
#else
    char out[4096] = {};
    return winPathToHost(windows, out, sizeof out) ? out : "";
#endif
}

class ChildProcess {
  public:
    // args[0] is the program's host path; the arguments are quoted where they hold a blank.
    explicit ChildProcess(const std::vector<std::string>& args) {
        std::wstring line;
        for (size_t i = 0; i < args.size(); ++i) {
            std::wstring a = i == 0 ? windowsPath(args[0]) : std::wstring(args[i].begin(), args[i].end());
            if (!line.empty()) line += L' ';
            line += a.find(L' ') == std::wstring::npos && !a.empty() ? a : L"\"" + a + L"\"";
        }
        std::wstring program = windowsPath(args.at(0));
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                           &pi)) {
            process_ = pi.hProcess;
            CloseHandle(pi.hThread);
        }
    }
    ~ChildProcess() {
        if (process_ == nullptr) return;
        if (running()) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 10000);
        }
        CloseHandle(process_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    bool running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    // The exit code once the process has ended within the time given; -1 while it still runs.
    int exitCode(std::chrono::milliseconds within = 60s) const {
        if (process_ == nullptr) return -1;
        if (WaitForSingleObject(process_, static_cast<DWORD>(within.count())) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        if (!GetExitCodeProcess(process_, &code)) return -1;
        return static_cast<int>(code);
    }

  private:
    HANDLE process_ = nullptr;
};

}  // namespace test_support
