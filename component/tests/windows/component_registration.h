// For the Windows tests that use the stand-in component: its registration through the prefix's
// regsvr32 and its settings file.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "component/component_journal.h"
#include "platform/test_process.h"

// regsvr32's exit code: 0 when the server's own registration succeeded.
inline DWORD runRegsvr32(const std::wstring& arguments) {
    std::wstring line = L"regsvr32.exe /s " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return GetLastError() | 0x80000000u;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFFu;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

inline DWORD registerComponent(const std::wstring& library) {
    return runRegsvr32(L"\"" + library + L"\"");
}
inline DWORD unregisterComponent(const std::wstring& library) {
    return runRegsvr32(L"/u \"" + library + L"\"");
}

inline void writeComponentSettings(const std::string& text) {
    std::filesystem::create_directories(componentFolder());
    std::ofstream(componentSettingsPath(), std::ios::binary | std::ios::trunc) << text;
}

// A fresh journal and no settings.
inline void clearComponentFiles() {
    std::error_code ec;
    std::filesystem::remove(componentJournalPath(), ec);
    std::filesystem::remove(componentSettingsPath(), ec);
}

inline std::vector<std::string> componentJournal() {
    std::vector<std::string> lines;
    std::ifstream in(componentJournalPath());
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}
