// Process lookup and termination, the escalating kill and the mutex release, on the platform's
// Toolhelp32 and psapi calls.
#include "process_control/process_control.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "common/codec.h"
#include "common/log.h"
#include "common/system.h"
#include "common/text.h"
#include "ipc/transport.h"

namespace {

// The source name and the numbers the records below carry are the ones the log has always shown
// for these sites (see common/log.h): readers match on them.
const char* const kSource = "Tool";
constexpr size_t kTextSize = 512;

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
        reportNullParameter("processName", kSource, 98);
        return false;
    }
    return runningByModule(processName) || runningBySnapshot(processName);
}

bool killProcessByName(const wchar_t* filename) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
    if (filename == nullptr) {
        reportNullParameter("filename", kSource, 107);
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
    wchar_t* name = utf8ToWide(inputTo);
    if (name == nullptr) {
        reportAllocFail(kSource, 133);
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

void releaseMutexLock(HANDLE mutex) {
    if (mutex == nullptr) return;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
