// Shared bits of the platform tests: wide/narrow helpers, files on the host, helper processes.
#pragma once
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/test_process.h"
#include "platform/test_support.h"
#include "platform/win_base.h"

namespace testutil {

inline std::string slurp(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string& hostPath, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(hostPath).parent_path());
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// Starts a command line; returns the process handle (thread handle closed) or NULL.
inline HANDLE start(const std::wstring& commandLine, DWORD* pid = nullptr) {
    std::wstring buf = commandLine;
    STARTUPINFOW si;
    GetStartupInfoW(&si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    if (pid) *pid = pi.dwProcessId;
    return pi.hProcess;
}

// Runs a command line to its end; the exit code, or -1 when it could not start.
inline long run(const std::wstring& commandLine) {
    HANDLE p = start(commandLine);
    if (!p) return -1;
    WaitForSingleObject(p, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(p, &code);
    CloseHandle(p);
    return (long)code;
}

// The test helper program copied into the machine under a Windows name; its Windows path.
inline std::wstring installChild(const std::wstring& winPath) {
    std::wstring src = test_support::windowsPath(KVLB_TEST_DIR "/kvlb_test_child");
    size_t slash = winPath.rfind(L'\\');
    CreateDirectoryW(winPath.substr(0, slash).c_str(), nullptr);
    CopyFileW(src.c_str(), winPath.c_str(), FALSE);
    return winPath;
}

}  // namespace testutil
