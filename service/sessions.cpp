#include "service/sessions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "common/codec.h"
#include "common/log.h"
#include "common/numbers.h"
#include "common/system.h"
#include "common/text.h"
#include "crypto/aes_value.h"
#include "service/path_table.h"
#include "service/service_state.h"
#include "service/value_store.h"

SessionSlot sessionSlots[kSessionCount];
uint64_t sessionSequence[kSessionCount];
uint64_t sessionCounter = 0;

namespace {

const char* const kSource = "TessarionSession";

void freeText(char*& text) {
    free(text);
    text = nullptr;
}

// Copies at most 63 characters, as the slot's texts are kept.
char* copyShort(const char* text) {
    char buffer[64];
    copyBounded(buffer, sizeof buffer, text ? text : "");
    return copyString(buffer);
}

// A request key's decoded value into a bounded buffer; absent gives "".
void readKey(const JsonMap* map, const char* key, char* buffer, size_t size) {
    char* value = getJsonMapValue(map, key);
    copyBounded(buffer, size, value ? value : "");
    wipeAndFree(value);
}

JsonMap* makeControlMap(const char* functionName, const char* index, const char* url) {
    JsonMap* map = newJsonMap();
    if (!map) return nullptr;
    setJsonValue(map, "functionname", functionName);
    if (url) setJsonValue(map, "url", url);
    setJsonValue(map, "AdapterJsonKeyCheck", "true");
    setJsonValue(map, "TessarionFunctionIndex", index);
    return map;
}

// An adapter with only the JSON-text entry gets the control map as a plain JSON object.
std::string controlText(const JsonMap* map) {
    std::string text = "{";
    for (int i = 0; i < map->count; ++i) {
        if (!map->entries[i].value) continue;
        if (text.size() > 1) text += ", ";
        for (const char* part : {map->entries[i].key, map->entries[i].value}) {
            text += '"';
            for (const char* p = part; *p; ++p) {
                if (*p == '"' || *p == '\\') text += '\\';
                text += *p;
            }
            text += '"';
            if (part == map->entries[i].key) text += ": ";
        }
    }
    text += "}";
    return text;
}

// Eight characters of 0-9 and A-Z, then "_SID": the form of the ids the service issues.
bool hasIssuedForm(const char* id) {
    for (int i = 0; i < 8; ++i)
        if (!((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'A' && id[i] <= 'Z'))) return false;
    return std::strcmp(id + 8, "_SID") == 0;
}

bool runHidden(const wchar_t* format, const wchar_t* path) {
    wchar_t command[MAX_PATH + 64];
    swprintf(command, sizeof command / sizeof command[0], format, path);
    return hideWaitCommand(command, true) == 0;
}

// Only a bare file name may name an installer: its version file must stay in the data folder.
bool isBareName(const char* name) {
    return !std::strpbrk(name, "\\/:") && !std::strstr(name, "..");
}

}  // namespace

void resetReplyResult(JsonMap** reply, const char* result, const char* file, int line) {
    logNormal("reset Tessarion Json at file: ", file);
    logNormalInt("reset Tessarion Json at line: ", line);
    freeJsonMap(*reply);
    *reply = newJsonMap();
    if (!*reply) {
        reportAllocFail(kSource, line);
        return;
    }
    setJsonValue(*reply, "result", result);
}

void resetReplyResult(JsonMap** reply, int code, const char* file, int line) {
    char text[32];
    std::snprintf(text, sizeof text, "%d", code);
    resetReplyResult(reply, text, file, line);
}

void initSessions() {
    setLog("TessarionSession");
    for (auto& slot : sessionSlots) {
        free(slot.sessionId);
        free(slot.adapterName);
        free(slot.adapterVersion);
        free(slot.installerVersion);
        std::memset(&slot, 0, sizeof slot);
    }
    CreateDirectoryW(dataFolder, nullptr);

    drawValueKey();
    for (int i = 0; i < kValueEntryCount; ++i) clearValueEntry(i);

    wchar_t versionFile[MAX_PATH];
    swprintf(versionFile, MAX_PATH, L"%ls\\%ls", dataFolder, L"KVLBTessarionMainVersion");
    if (!fileExists(versionFile)) runHidden(L"break>\"%ls\"", versionFile);
    FILE* f = _wfopen(versionFile, L"w");
    if (f) {
        std::fputs("Tessarion version=" TESSARION_SERVER_VERSION, f);
        std::fclose(f);
    } else {
        logWarning("Write Tessarion version: ", "Fail");
    }

    wchar_t tempFolder[MAX_PATH];
    swprintf(tempFolder, MAX_PATH, L"%ls\\Tempfile", dataFolder);
    runHidden(L"rmdir /s /q \"%ls\"", tempFolder);
    CreateDirectoryW(tempFolder, nullptr);
    for (int i = 0; i < kSessionCount; ++i) {
        wchar_t folder[MAX_PATH];
        swprintf(folder, MAX_PATH, L"%ls\\Tempfile\\Session_%d", dataFolder, i);
        CreateDirectoryW(folder, nullptr);
    }
}

int findSession(const char* sessionId) {
    if (!sessionId || !*sessionId) return -1;
    char id[64];
    copyBounded(id, sizeof id, sessionId);
    // The exact id first: otherwise a session opened under a short id of the caller's choosing
    // (say "S") would take over every request whose id merely contains it.
    for (int i = 0; i < kSessionCount; ++i)
        if (sessionSlots[i].sessionId && std::strcmp(id, sessionSlots[i].sessionId) == 0) return i;
    // A page may wrap an issued id in text of its own, so an issued id is also found inside a longer
    // one; an id of the caller's choosing only as it stands, or "_SID" would take every request
    // whose own session is gone.
    for (int i = 0; i < kSessionCount; ++i) {
        const char* own = sessionSlots[i].sessionId;
        if (own && hasIssuedForm(own) && std::strstr(id, own)) return i;
    }
    return -1;
}

bool newSessionId(char* sessionId, JsonMap* reply) {
    logNormal("Generate new session id", "");
    for (;;) {
        char* made = makeRandomSID();
        // Without random bytes there is no id to issue; drawing again would give none either.
        if (!made) {
            *sessionId = 0;
            return false;
        }
        copyBounded(sessionId, 64, made);
        wipeAndFree(made);
        int collision = -1;
        for (int i = 0; i < kSessionCount && collision < 0; ++i)
            if (sessionSlots[i].sessionId && *sessionSlots[i].sessionId &&
                std::strcmp(sessionSlots[i].sessionId, sessionId) == 0)
                collision = i;
        if (collision < 0 && *sessionId) break;
        if (collision >= 0) logNormalInt("Session id collision index: ", collision);
    }
    setJsonValue(reply, "SessionID", sessionId);
    return true;
}

const char* callAdapterControl(int slot, JsonMap* control) {
    if (slot < 0 || slot >= kSessionCount || !control) return nullptr;
    SessionSlot& s = sessionSlots[slot];
    if (s.callJsonMapMethod) {
        char* name = getJsonMapValue(control, "functionname");
        const char* answer = s.callJsonMapMethod(control, name ? name : "");
        free(name);
        return answer;
    }
    if (s.callMethod) {
        std::string text = controlText(control);
        return s.callMethod(text.c_str());
    }
    return nullptr;
}

bool stampSessionSequence(int slot) {
    if (slot < 0 || slot >= kSessionCount) return false;
    sessionSequence[slot] = sessionCounter;
    sessionCounter += 1;
    return true;
}

int findOldestSession() {
    int found = -1;
    for (int i = 0; i < kSessionCount; ++i) {
        if (sessionSequence[i] == kNoSession) continue;
        if (found < 0 || sessionSequence[i] < sessionSequence[found]) found = i;
    }
    return found;
}

void releaseSession(int slot) {
    if (slot < 0 || slot >= kSessionCount) return;
    SessionSlot& s = sessionSlots[slot];
    if (!s.sessionId) return;
    s.browserMode = 0;
    logNormal("Release Session id: ", s.sessionId);
    freeText(s.sessionId);
    logNormal("Release AdapterName: ", s.adapterName);
    freeText(s.adapterName);
    logNormal("Release Adapter Version: ", s.adapterVersion);
    freeText(s.adapterVersion);
    logNormal("Release Installer Version: ", s.installerVersion);
    freeText(s.installerVersion);

    JsonMap* control = makeControlMap("Tessarion_Release", "-3", nullptr);
    if (!control) {
        reportAllocFail(kSource, __LINE__);
        return;
    }
    callAdapterControl(slot, control);
    freeJsonMap(control);
    s.callMethod = nullptr;
    s.callJsonMapMethod = nullptr;
    s.openTime = 0;

    bool released = true;
    if (s.module) {
        if (!FreeLibrary(s.module) && GetLastError() != 0) {
            logWarningInt("Free library error code: ", static_cast<int>(GetLastError()));
            released = false;
        }
        s.module = nullptr;
    } else {
        logWarning("FreeLibrary: ", "NULL");
    }
    if (released)
        logNormal("Release adapter state: ", "Success");
    else
        logWarning("Release adapter state: ", "Fail");

    if (s.libraryIsCopy) {
        if (DeleteFileW(s.libraryPath))
            logNormal("Delete adapter state: ", "Success");
        else
            logWarning("Delete adapter state: ", "Fail");
    }
    s.libraryIsCopy = false;
    s.libraryPath[0] = 0;
}

void releaseSessionSlot(int slot) {
    logNormalInt("Release session index: ", slot);
    releaseSession(slot);
    if (slot >= 0 && slot < kSessionCount) sessionSequence[slot] = kNoSession;
}

void releaseAllAdapters() {
    logNormal("[TessarionFinal] ", "Start release all adapters");
    for (int i = findOldestSession(); i >= 0; i = findOldestSession()) releaseSessionSlot(i);
    runHidden(L"del /Q %ls\\*.dll", dataFolder);
    runHidden(L"del /A:H /Q %ls\\*.dll", dataFolder);
}

int openSession(const JsonMap* request, const char* origin, const char* sessionId, JsonMap** reply) {
    char pathId[512], libDir[kPathFieldSize], comName[kPathFieldSize];
    readKey(request, "PathID", pathId, sizeof pathId);
    readKey(request, "LibDir", libDir, sizeof libDir);
    readKey(request, "ComName", comName, sizeof comName);
    logNormal("Adapter folder: ", libDir);
    logNormal("Adapter name: ", comName);

    bool resolved = false;
    if (*pathId) {
        logNormal("Path id mode: ", "Active");
        resolved = resolvePathId(pathId, libDir, comName);
    }
    if (!resolved) {
        logNormal("Path id check location mode: ", "Active");
        if (!checkPathTable(libDir, comName)) {
            logNormal("Out of path table connection: ", "Reject");
            resetReplyResult(reply, 61009, kSource, __LINE__);
            return -1;
        }
    }
    if (!*libDir || !*comName) {
        logNormal("No path information connection: ", "Reject");
        resetReplyResult(reply, 61009, kSource, __LINE__);
        return -1;
    }

    int i = -1;
    for (int k = 0; k < kSessionCount && i < 0; ++k)
        if (!sessionSlots[k].sessionId || !*sessionSlots[k].sessionId) i = k;
    if (i < 0) {
        logWarning("", "Tessarion slot is full, release the oldest one");
        i = findOldestSession();
        if (i < 0) {
            logWarning("", "Get the oldest SessionIndex fail");
            return -1;
        }
        releaseSessionSlot(i);
    }
    SessionSlot& s = sessionSlots[i];
    stampSessionSequence(i);
    logNormalInt("Session index: ", i);
    free(s.sessionId);
    s.sessionId = copyShort(sessionId);
    s.openTime = static_cast<int64_t>(winTime(nullptr));
    logNormalInt("Init time: ", static_cast<int>(static_cast<uint32_t>(s.openTime)));

    wchar_t* libDirW = utf8ToWide(libDir);
    wchar_t* comNameW = utf8ToWide(comName);
    wchar_t installed[MAX_PATH], copy[MAX_PATH];
    swprintf(installed, MAX_PATH, L"%ls\\%ls\\%ls.dll", programFolder, libDirW ? libDirW : L"",
             comNameW ? comNameW : L"");
    swprintf(copy, MAX_PATH, L"%ls\\Tempfile\\Session_%d\\%ls.dll", dataFolder, i, comNameW ? comNameW : L"");
    free(libDirW);
    free(comNameW);
    logNormalWide("Original adapter: ", installed);
    logNormalWide("Copy adapter: ", copy);

    HMODULE module = nullptr;
    const char* stateText = nullptr;
    bool isCopy = false;
    if (CopyFileW(installed, copy, TRUE)) {
        logNormal("Copy adapter state: ", "Success");
        module = LoadLibraryW(copy);
        if (module) {
            stateText = "Copied adapter: ";
            isCopy = true;
        } else {
            logWarning("Copied adapter: ", "Inactive");
        }
    } else {
        logWarning("Copy adapter state: ", "Fail");
    }
    if (!module) {
        module = LoadLibraryW(installed);
        if (module) {
            stateText = "Origin adapter: ";
        } else {
            DWORD error = GetLastError();
            logWarning("Origin adapter: ", "Inactive");
            logExistState("Origin adpater: ", fileExists(installed));
            logExistState("Copied adpater: ", fileExists(copy));
            logErrorInt("Adapter load error reason: ", static_cast<int>(error));
            releaseSessionSlot(i);
            resetReplyResult(reply, 61902, kSource, __LINE__);
            return -1;
        }
    }
    logNormal(stateText, "Active");

    copyBoundedW(s.libraryPath, MAX_PATH, isCopy ? copy : installed);
    s.libraryIsCopy = isCopy;
    s.module = module;
    free(s.adapterName);
    s.adapterName = copyString(comName);
    s.callMethod = reinterpret_cast<CallMethodEntry>(GetProcAddress(module, "callMethod"));
    s.callJsonMapMethod =
        reinterpret_cast<CallJsonMapMethodEntry>(GetProcAddress(module, "callJsonMapMethod"));
    logStateText("Json string callMethod: ", s.callMethod != nullptr, "Active", "Inactive");
    logStateText("Json map callMethod: ", s.callJsonMapMethod != nullptr, "Active", "Inactive");
    if (s.callJsonMapMethod) {
        logNormal("Json map init: ", "Active");
    } else if (s.callMethod) {
        logNormal("Json string init: ", "Active");
    } else {
        logWarning("", "All callMethod load fail");
        releaseSessionSlot(i);
        resetReplyResult(reply, 61906, kSource, __LINE__);
        return -1;
    }

    // A control map that cannot be made must not leave a session behind whose adapter was never
    // unlocked: later requests with its id would reach it.
    JsonMap* control = makeControlMap("Tessarion_Unlock", "-2", origin ? origin : "");
    if (!control) {
        reportAllocFail(kSource, __LINE__);
        releaseSessionSlot(i);
        return -1;
    }
    const char* answer = callAdapterControl(i, control);
    char unlockAnswer[512];
    copyBounded(unlockAnswer, sizeof unlockAnswer, answer ? answer : "");
    freeJsonMap(control);
    if (!equalsAsciiNoCase(unlockAnswer, "0")) {
        logWarning("Unlock result: ", unlockAnswer);
        releaseSessionSlot(i);
        resetReplyResult(reply, unlockAnswer, kSource, __LINE__);
        return -1;
    }
    logNormal("Unlock: ", "Success");

    control = makeControlMap("Tessarion_GetVersion", "-1", nullptr);
    if (!control) {
        reportAllocFail(kSource, __LINE__);
        releaseSessionSlot(i);
        return -1;
    }
    answer = callAdapterControl(i, control);
    char version[64];
    copyBounded(version, sizeof version, answer ? answer : "");
    freeJsonMap(control);
    if (!*version) {
        logWarning("Init adapter: ", "Fail");
        releaseSessionSlot(i);
        return -1;
    }
    free(s.adapterVersion);
    s.adapterVersion = copyString(version);
    long n = toLong(version, false);
    if (!lastConversionFailed() && n >= 61000 && n <= 61999) {
        logWarningInt("Parse component version error: ", static_cast<int>(n));
        releaseSessionSlot(i);
        resetReplyResult(reply, static_cast<int>(n), kSource, __LINE__);
        return -1;
    }
    logNormal("Extract component version: ", "Success");

    char installerName[512], minServer[64], minLib[64];
    readKey(request, "InstallerName", installerName, sizeof installerName);
    readKey(request, "minServerVersion", minServer, sizeof minServer);
    readKey(request, "minLibVersion", minLib, sizeof minLib);
    if (!*minLib) copyBounded(minLib, sizeof minLib, "0.0.0.0");

    int r = compareVersion(minServer, TESSARION_SERVER_VERSION);
    setJsonValue(*reply, "ServerVersion", TESSARION_SERVER_VERSION);
    setJsonValue(*reply, "LibVersion", version);
    logWarning("Mini server version: ", minServer);
    logWarning("Real server version: ", TESSARION_SERVER_VERSION);
    if (r != 0 && r != -1) {
        logWarning("Verify server version: ", "Fail");
        releaseSessionSlot(i);
        resetReplyResult(reply, 61203, kSource, __LINE__);
        return -1;
    }
    logNormal("Verify server version: ", "Pass");
    r = compareVersion(minLib, version);
    logWarning("Mini adapter version: ", minLib);
    logWarning("Real adapter version: ", version);
    if (r != 0 && r != -1) {
        logWarning("Verify adapter version: ", "Fail");
        releaseSessionSlot(i);
        resetReplyResult(reply, 61204, kSource, __LINE__);
        return -1;
    }
    logNormal("Verify adapter version: ", "Pass");

    if (*installerName) {
        logNormal("InstallerName: ", installerName);
        char text[64] = "";
        if (isBareName(installerName)) {
            char* nameVersion = replaceAll(installerName, ".exe", "");
            wchar_t* nameW = utf8ToWide(nameVersion ? nameVersion : "");
            wchar_t path[MAX_PATH];
            swprintf(path, MAX_PATH, L"%ls\\%lsVersion.txt", dataFolder, nameW ? nameW : L"");
            free(nameW);
            free(nameVersion);
            logNormalWide("InstallerVersionFile: ", path);
            char* whole = readWholeFile(path);
            copyBounded(text, sizeof text, whole ? whole : "");
            free(whole);
        } else {
            logWarning("InstallerName: ", "Reject");
        }
        logNormal("InstallerVersion: ", text);
        setJsonValue(*reply, "InstallerVersion", text);
        free(s.installerVersion);
        s.installerVersion = copyString(text);
    }
    return i;
}
