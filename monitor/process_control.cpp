// Process lookup and termination, the escalating kill, and the small helpers of the monitor's
// build, on the platform's Toolhelp32, psapi and file calls.
#include "monitor/process_control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/log.h"
#include "common/system.h"
#include "common/text.h"
#include "ipc/transport.h"

std::atomic<UINT> codePage{65001};

namespace {

const char* const kSource = "Tool";
constexpr size_t kTextSize = 512;

wchar_t* toWide(const char* text, UINT page) {
    if (text == nullptr) return nullptr;
    int n = MultiByteToWideChar(page, 0, text, -1, static_cast<LPWSTR>(nullptr), 0);
    if (n <= 0) return nullptr;
    wchar_t* wide = static_cast<wchar_t*>(calloc(static_cast<size_t>(n) + 1, sizeof(wchar_t)));
    if (wide == nullptr) return nullptr;
    if (MultiByteToWideChar(page, 0, text, -1, wide, n) <= 0) wide[0] = L'\0';
    return wide;
}

char* toNarrow(const wchar_t* text, UINT page) {
    if (text == nullptr) return nullptr;
    int n = WideCharToMultiByte(page, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return nullptr;
    char* narrow = static_cast<char*>(calloc(static_cast<size_t>(n) + 1, 1));
    if (narrow == nullptr) return nullptr;
    if (WideCharToMultiByte(page, 0, text, -1, narrow, n, nullptr, nullptr) <= 0) narrow[0] = '\0';
    return narrow;
}

// First pass: the base name of each process's first module, as psapi gives it.
bool runningByModule(const wchar_t* processName) {
    static const DWORD kTable = 1024;
    DWORD* ids = static_cast<DWORD*>(calloc(kTable, sizeof(DWORD)));
    if (ids == nullptr) return false;
    DWORD bytes = 0;
    if (!EnumProcesses(ids, kTable * sizeof(DWORD), &bytes)) {
        logError("EnumProcesses fail", "");
        free(ids);
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < bytes / sizeof(DWORD) && !found; ++i) {
        if (ids[i] == 0) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        if (process == nullptr) continue;
        HMODULE module = nullptr;
        DWORD needed = 0;
        wchar_t name[MAX_PATH] = {};
        if (EnumProcessModules(process, &module, sizeof module, &needed) &&
            GetModuleBaseNameW(process, module, name, MAX_PATH) > 0 && equalsAsciiNoCase(name, processName))
            found = true;
        CloseHandle(process);
    }
    free(ids);
    return found;
}

bool runningBySnapshot(const wchar_t* processName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == nullptr || snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        if (equalsAsciiNoCase(entry.szExeFile, processName)) found = true;
    CloseHandle(snapshot);
    return found;
}

// Tests up to 30 times, 100 ms apart; true as soon as no such process is left. With
// waitMessage, each pause is preceded by a record of how many pauses came before.
bool waitForEnd(const wchar_t* name, const char* waitMessage) {
    for (int step = 0; step < 30; ++step) {
        if (!isProcessRunning(name)) return true;
        if (waitMessage != nullptr) logNormalInt(waitMessage, step);
        Sleep(100);
    }
    return !isProcessRunning(name);
}

}  // namespace

bool isProcessRunning(const wchar_t* processName) {
    if (processName == nullptr) {
        reportNullParameter("processName", kSource, __LINE__);
        return false;
    }
    return runningByModule(processName) || runningBySnapshot(processName);
}

bool killProcessByName(const wchar_t* filename) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
    if (filename == nullptr) {
        reportNullParameter("filename", kSource, __LINE__);
        if (snapshot != nullptr && snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
        return true;
    }
    if (snapshot == nullptr || snapshot == INVALID_HANDLE_VALUE) return true;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (wcscmp(entry.szExeFile, filename) != 0) continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (process == nullptr) continue;
        TerminateProcess(process, 9);
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return true;
}

bool killProgramAs(const char* killerName, const char* inputTo) {
    if (inputTo == nullptr) {
        reportNullParameter("inputTo", kSource, 2433);
        return false;
    }
    if (killerName == nullptr) killerName = "";
    wchar_t* name = toWide(inputTo, CP_UTF8);
    if (name == nullptr) {
        reportAllocFail(kSource, __LINE__);
        return false;
    }
    char prefix[kTextSize];
    char text[kTextSize];
    snprintf(prefix, sizeof prefix, "[%s] ", killerName);

    sendIpcMessage(inputTo, "TessarionInstruction_Suicide");
    killProcessByName(name);
    if (waitForEnd(name, nullptr)) {
        snprintf(text, sizeof text, "%s kill %s success", killerName, inputTo);
        logNormal(prefix, text);
    } else {
        snprintf(text, sizeof text, "%s kill %s fail", killerName, inputTo);
        logNormal(prefix, text);
        logNormal(prefix, "Start command kill mode");
        wchar_t command[kTextSize];
        swprintf(command, kTextSize, L"taskkill /F /im %ls /F", name);
        logNormalWide("Command: ", command);
        hideWaitCommand(command, false);
        char waitMessage[kTextSize];
        snprintf(waitMessage, sizeof waitMessage, "[%s] Wait for %s shutdown: ", killerName, inputTo);
        waitForEnd(name, waitMessage);
    }
    bool gone = !isProcessRunning(name);
    snprintf(text, sizeof text, "[%s] kill %s shutdown state: ", killerName, inputTo);
    if (gone)
        logNormal(text, "Success");
    else
        logError(text, "Fail");
    free(name);
    return gone;
}

bool killMainProgram() {
    return killProgramAs(MONITOR_PROGRAM_NAME, MAIN_PROGRAM_NAME);
}

void releaseMutexLock(HANDLE mutex) {
    if (mutex == nullptr) return;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

void appendBounded(char* buffer, const char* text) {
    if (buffer == nullptr || text == nullptr) return;
    size_t have = strnlen(buffer, kTextSize - 1);
    buffer[have] = '\0';
    copyBounded(buffer + have, kTextSize - have, text);
}

wchar_t* replaceAllWide(const wchar_t* text, const wchar_t* from, const wchar_t* to) {
    UINT page = codePage.load();
    char* narrowText = toNarrow(text, page);
    char* narrowFrom = toNarrow(from, page);
    char* narrowTo = toNarrow(to, page);
    wchar_t* result = nullptr;
    if (narrowText != nullptr && narrowFrom != nullptr && narrowTo != nullptr) {
        char* replaced = replaceAll(narrowText, narrowFrom, narrowTo);
        result = toWide(replaced, page);
        free(replaced);
    }
    free(narrowText);
    free(narrowFrom);
    free(narrowTo);
    return result;
}

void logPlainWide(const char* message, const wchar_t* value) {
    char* text = toNarrow(value, codePage.load());
    // logPlain is the untagged level-5 record; it writes whether or not logging is on.
    logPlain(message, text != nullptr ? text : "");
    free(text);
}

bool writeTextFile(const wchar_t* path, const char* text) {
    if (path == nullptr || path[0] == L'\0' || text == nullptr) return false;
    FILE* file = _wfopen(path, L"w");
    if (file == nullptr) return false;
    fprintf(file, "%s", text);
    fclose(file);
    return true;
}

char* localTimeText() {
    static const size_t kSize = 64;
    char* text = static_cast<char*>(allocZeroed(kSize));
    if (text == nullptr) return nullptr;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    if (now.wYear == 0) {
        copyBounded(text, kSize, "Unknow time");
        return text;
    }
    snprintf(text, kSize, "%d-%02u-%02u %02u-%02u-%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    return text;
}

wchar_t* getDesktopFolder() {
    wchar_t* folder = static_cast<wchar_t*>(calloc(MAX_PATH + 1, sizeof(wchar_t)));
    if (folder == nullptr) return nullptr;
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, folder)) || folder[0] == L'\0') {
        free(folder);
        return nullptr;
    }
    return folder;
}

void makeFolderLevels(const wchar_t* path) {
    if (path == nullptr) return;
    size_t length = wcslen(path);
    wchar_t level[kTextSize];
    for (size_t i = 0; i < length && i < kTextSize; ++i) {
        if (path[i] != L'\\' && path[i] != L'/') continue;
        if (i == 0) continue;
        wmemcpy(level, path, i);
        level[i] = L'\0';
        CreateDirectoryW(level, nullptr);
    }
}

bool isDisplayNameFile(const char* path) {
    static const char kSuffix[] = "DisplayName.txt";
    if (path == nullptr) return false;
    size_t length = strlen(path);
    size_t suffix = sizeof kSuffix - 1;
    return length >= suffix && strcmp(path + length - suffix, kSuffix) == 0;
}
