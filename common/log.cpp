// The log front end: the program tag, the on/off flag and the wrappers every part of the system
// logs through, plus the debug-mode watcher that toggles logging when the monitor pulses its event.
#include "common/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "common/codec.h"
#include "common/log_writer.h"
#include "common/system.h"

char logTag[64];
std::atomic<unsigned char> logEnabled{0};
std::atomic<unsigned char> debugState{0};
std::atomic<HANDLE> debugStatusUpdateEvent{nullptr};

namespace {

const char* const kSource = "Log";
const char* const kIniBaseName = "KVLBTessarion";
const wchar_t* const kDebugModeEventName = L"KVLBTessarion_DEBUG_MODE";

// A failed allocation is reported through the same wrappers; when that report cannot be allocated
// either, it is dropped rather than reported again.
thread_local int reportingAllocFail = 0;

// Orders setLog's change of the tag against the records other threads are writing meanwhile.
std::mutex tagLock;

void writeTagged(const char* levelTag, const char* message, const char* value) {
    if (logEnabled.load() == 0) return;
    if (message == nullptr) message = "";
    if (value == nullptr) value = "";
    char tag[sizeof logTag];
    {
        std::lock_guard<std::mutex> guard(tagLock);
        memcpy(tag, logTag, sizeof tag);
    }
    tag[sizeof tag - 1] = '\0';
    size_t size = strlen(tag) + strlen(levelTag) + strlen(message) + 4;
    char* prefix = static_cast<char*>(calloc(1, size));
    if (prefix == nullptr) {
        reportAllocFail(kSource, __LINE__);
        return;
    }
    snprintf(prefix, size, "[%s]%s %s", tag, levelTag, message);
    writeLogLine(5, "%s%s", prefix, value);
    free(prefix);
}

void writeTaggedInt(const char* levelTag, const char* message, int number) {
    char text[16];
    snprintf(text, sizeof text, "%d", number);
    writeTagged(levelTag, message, text);
}

void writeTaggedWide(const char* levelTag, const char* message, const wchar_t* value) {
    if (logEnabled.load() == 0) return;
    char* text = wideToUtf8(value);
    writeTagged(levelTag, message, text);
    free(text);
}

// Appends a piece to a wide path of 512 characters; false when it does not fit.
bool appendPath(wchar_t* path, const wchar_t* piece) {
    size_t have = wcslen(path);
    size_t add = wcslen(piece);
    if (have + add >= 512) return false;
    wmemcpy(path + have, piece, add + 1);
    return true;
}

// One candidate for the ini: folder, a backslash unless the folder ends in one, the name.
bool iniCandidate(wchar_t* path, wchar_t* folder, const wchar_t* name) {
    path[0] = L'\0';
    bool made = false;
    if (folder != nullptr && folder[0] != L'\0') {
        size_t n = wcslen(folder);
        made = appendPath(path, folder) && (folder[n - 1] == L'\\' || appendPath(path, L"\\")) &&
               appendPath(path, name) && fileExists(path);
    }
    free(folder);
    return made;
}

}  // namespace

bool setLog(const char* inputPrefixName) {
    if (logEnabled.load() != 0) return true;
    if (inputPrefixName == nullptr) return false;
    char tag[sizeof logTag];
    snprintf(tag, sizeof tag, "%s", inputPrefixName);
    {
        std::lock_guard<std::mutex> guard(tagLock);
        memcpy(logTag, tag, sizeof logTag);
    }

    char iniName[64];
    snprintf(iniName, sizeof iniName, "%s.ini", kIniBaseName);
    wchar_t wideName[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, iniName, -1, wideName, 64);

    wchar_t path[512];
    bool found = iniCandidate(path, getModuleFolder(), wideName) ||
                 iniCandidate(path, getWindowsFolder(), wideName) ||
                 iniCandidate(path, getUserTempPath(), wideName);
    char* narrowPath = found ? wideToUtf8(path) : nullptr;
    int status = initLogFromIni(kIniBaseName, narrowPath != nullptr ? narrowPath : iniName);
    free(narrowPath);
    writeLogLine(5, "%s %d %s Compile Time : %s %s", "log.cpp", __LINE__, "setLog", __DATE__, __TIME__);
    logEnabled.exchange(status == 0 ? 1 : 0);
    if (logEnabled.load() != 0) logNormal("Log state: ", "Enable");
    return logEnabled.load() != 0;
}

void logPlain(const char* message, const char* value) {
    writeLogLine(5, "%s%s", message != nullptr ? message : "", value != nullptr ? value : "");
}

void logPlainWide(const char* message, const wchar_t* value, UINT codePage) {
    char* text = wideToText(value, codePage);
    logPlain(message, text != nullptr ? text : "");
    free(text);
}

void logNormal(const char* message, const char* value) {
    writeTagged("[Normal]", message, value);
}
void logNormalInt(const char* message, int number) {
    writeTaggedInt("[Normal]", message, number);
}
void logNormalWide(const char* message, const wchar_t* value) {
    writeTaggedWide("[Normal]", message, value);
}
void logError(const char* message, const char* value) {
    writeTagged("[Error]", message, value);
}
void logErrorInt(const char* message, int number) {
    writeTaggedInt("[Error]", message, number);
}
void logCommandError(const wchar_t* command) {
    writeTaggedWide("[Error]", "Command: ", command);
}
void logWarning(const char* message, const char* value) {
    writeTagged("[Warning]", message, value);
}
void logWarningInt(const char* message, int number) {
    writeTaggedInt("[Warning]", message, number);
}

void logExistState(const char* message, bool flag) {
    if (flag)
        logNormal(message, "Exist");
    else
        logError(message, "Not Exist");
}

void logStateText(const char* message, bool flag, const char* textIfTrue, const char* textIfFalse) {
    logNormal(message, flag ? textIfTrue : textIfFalse);
}

void reportNullParameter(const char* name, const char* source, int line) {
    if (logEnabled.load() == 0) return;
    char message[512];
    snprintf(message, sizeof message, "Parameter %s is null at %s %d", name != nullptr ? name : "",
             source != nullptr ? source : "", line);
    logWarning(message, "");
}

void reportAllocFail(const char* source, int line) {
    if (reportingAllocFail != 0) return;
    ++reportingAllocFail;
    logError("Memory allocate fail at file: ", source);
    logErrorInt("Memory allocate fail at line: ", line);
    --reportingAllocFail;
}

bool openDebugStatusUpdateEvent() {
    if (debugStatusUpdateEvent != nullptr) return false;
    debugStatusUpdateEvent = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kDebugModeEventName);
    return debugStatusUpdateEvent != nullptr;
}

void* debugModeWatcher(void* tag) {
    // The tag is copied once: setLog overwrites logTag, which must not be its own source.
    char programTag[sizeof logTag];
    if (tag != nullptr) {
        snprintf(programTag, sizeof programTag, "%s", static_cast<const char*>(tag));
    } else {
        std::lock_guard<std::mutex> guard(tagLock);
        snprintf(programTag, sizeof programTag, "%s", logTag);
    }
    for (;;) {
        HANDLE event = debugStatusUpdateEvent;
        DWORD wait = event != nullptr ? WaitForSingleObject(event, INFINITE) : WAIT_FAILED;
        if (wait == WAIT_OBJECT_0) {
            if (debugState == 0) {
                setLog(programTag);
                debugState = 1;
            } else {
                logNormal("Log state: ", "Disable");
                logEnabled.exchange(0);
                setLogFileLevel(nullptr, 0);
                debugState = 0;
            }
        }
        Sleep(100);
    }
    return nullptr;
}
