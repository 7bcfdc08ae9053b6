// The session slots: a session's opening in its steps (path table, slot, copy and load, bind,
// control calls, version gates), its release with its adapter copy, and the session folders.
#include "service/sessions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "common/codec.h"
#include "common/log.h"
#include "common/numbers.h"
#include "common/request_values/value_getters.h"
#include "common/result_codes.h"
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

// The map of a control call: the function's name, its index (kControlGetVersion and the others) as
// decimal text, and for the unlock the page's origin.
JsonMap* makeControlMap(const char* functionName, int index, const char* url) {
    JsonMap* map = newJsonMap();
    if (!map) return nullptr;
    char indexText[16];
    std::snprintf(indexText, sizeof indexText, "%d", index);
    setJsonValue(map, "functionname", functionName);
    if (url) setJsonValue(map, "url", url);
    setJsonValue(map, "AdapterJsonKeyCheck", "true");
    setJsonValue(map, "TessarionFunctionIndex", indexText);
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

bool callSessionAdapter(int slot, JsonMap* map, const char* functionName, const char* jsonText,
                        const char** answer) {
    if (slot < 0 || slot >= kSessionCount) return false;
    SessionSlot& s = sessionSlots[slot];
    if (s.callJsonMapMethod) {
        *answer = s.callJsonMapMethod(map, functionName);
        return true;
    }
    if (s.callMethod) {
        *answer = s.callMethod(jsonText);
        return true;
    }
    return false;
}

const char* callAdapterControl(int slot, JsonMap* control) {
    if (!control) return nullptr;
    char* name = getJsonMapValue(control, "functionname");
    std::string text = controlText(control);
    const char* answer = nullptr;
    callSessionAdapter(slot, control, name ? name : "", text.c_str(), &answer);
    free(name);
    return answer;
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

    JsonMap* control = makeControlMap("Tessarion_Release", kControlRelease, nullptr);
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

namespace {

// The path table: the page names its adapter by PathID, or by folder and name, and only a library
// the table lists is ever loaded.
bool resolveAdapterPath(const JsonMap* request, char* libDir, char* comName, JsonMap** reply) {
    char pathId[512];
    readKey(request, "PathID", pathId, sizeof pathId);
    readKey(request, "LibDir", libDir, kPathFieldSize);
    readKey(request, "ComName", comName, kPathFieldSize);
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
            resetReplyResult(reply, kResultUnknownPath, kSource, __LINE__);
            return false;
        }
    }
    if (!*libDir || !*comName) {
        logNormal("No path information connection: ", "Reject");
        resetReplyResult(reply, kResultUnknownPath, kSource, __LINE__);
        return false;
    }
    return true;
}

// The slot: a free one, or the oldest session's when all are taken; it gets the id and the time.
int takeSessionSlot(const char* sessionId) {
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
    return i;
}

// The copy and load: the session loads its own copy of the installed library, so that sessions
// never share an adapter's state; the installed file itself when the copy cannot be made or loaded.
bool loadAdapterCopy(int slot, const char* libDir, const char* comName, JsonMap** reply) {
    SessionSlot& s = sessionSlots[slot];
    wchar_t* libDirW = utf8ToWide(libDir);
    wchar_t* comNameW = utf8ToWide(comName);
    wchar_t installed[MAX_PATH], copy[MAX_PATH];
    swprintf(installed, MAX_PATH, L"%ls\\%ls\\%ls.dll", programFolder, libDirW ? libDirW : L"",
             comNameW ? comNameW : L"");
    swprintf(copy, MAX_PATH, L"%ls\\Tempfile\\Session_%d\\%ls.dll", dataFolder, slot,
             comNameW ? comNameW : L"");
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
            releaseSessionSlot(slot);
            resetReplyResult(reply, kResultAdapterNotLoaded, kSource, __LINE__);
            return false;
        }
    }
    logNormal(stateText, "Active");

    copyBoundedW(s.libraryPath, MAX_PATH, isCopy ? copy : installed);
    s.libraryIsCopy = isCopy;
    s.module = module;
    free(s.adapterName);
    s.adapterName = copyString(comName);
    return true;
}

// The bind: the adapter's entry points, the JSON-map one preferred over the JSON-text one.
bool bindEntryPoints(int slot, JsonMap** reply) {
    SessionSlot& s = sessionSlots[slot];
    // Through void*: the exports' real types are not FARPROC's.
    s.callMethod =
        reinterpret_cast<CallMethodEntry>(reinterpret_cast<void*>(GetProcAddress(s.module, "callMethod")));
    s.callJsonMapMethod = reinterpret_cast<CallJsonMapMethodEntry>(
        reinterpret_cast<void*>(GetProcAddress(s.module, "callJsonMapMethod")));
    logStateText("Json string callMethod: ", s.callMethod != nullptr, "Active", "Inactive");
    logStateText("Json map callMethod: ", s.callJsonMapMethod != nullptr, "Active", "Inactive");
    if (s.callJsonMapMethod) {
        logNormal("Json map init: ", "Active");
    } else if (s.callMethod) {
        logNormal("Json string init: ", "Active");
    } else {
        logWarning("", "All callMethod load fail");
        releaseSessionSlot(slot);
        resetReplyResult(reply, kResultNoEntryPoints, kSource, __LINE__);
        return false;
    }
    return true;
}

// One control call into the session's adapter, its answer copied to answer ("" for none). A
// control map that cannot be made must not leave a session behind whose adapter was never
// unlocked: later requests with its id would reach it.
bool askAdapter(int slot, const char* functionName, int index, const char* url, char* answer, size_t size) {
    JsonMap* control = makeControlMap(functionName, index, url);
    if (!control) {
        reportAllocFail(kSource, __LINE__);
        releaseSessionSlot(slot);
        return false;
    }
    const char* text = callAdapterControl(slot, control);
    copyBounded(answer, size, text ? text : "");
    freeJsonMap(control);
    return true;
}

// The unlock call: the adapter's own check of the page's origin; anything but "0" is its refusal,
// passed on to the page as it stands.
bool unlockAdapter(int slot, const char* origin, JsonMap** reply) {
    char unlockAnswer[512];
    if (!askAdapter(slot, "Tessarion_Unlock", kControlUnlock, origin ? origin : "", unlockAnswer,
                    sizeof unlockAnswer))
        return false;
    if (!equalsAsciiNoCase(unlockAnswer, "0")) {
        logWarning("Unlock result: ", unlockAnswer);
        releaseSessionSlot(slot);
        resetReplyResult(reply, unlockAnswer, kSource, __LINE__);
        return false;
    }
    logNormal("Unlock: ", "Success");
    return true;
}

// The version call: the adapter's version, kept in the slot; an answer in the adapter's own range
// of result codes is a refusal instead.
bool readAdapterVersion(int slot, char* version, size_t size, JsonMap** reply) {
    if (!askAdapter(slot, "Tessarion_GetVersion", kControlGetVersion, nullptr, version, size)) return false;
    if (!*version) {
        logWarning("Init adapter: ", "Fail");
        releaseSessionSlot(slot);
        return false;
    }
    SessionSlot& s = sessionSlots[slot];
    free(s.adapterVersion);
    s.adapterVersion = copyString(version);
    long n = toLong(version, false);
    if (!lastConversionFailed() && n >= kResultAdapterRangeFirst && n <= kResultAdapterRangeLast) {
        logWarningInt("Parse component version error: ", static_cast<int>(n));
        releaseSessionSlot(slot);
        resetReplyResult(reply, static_cast<int>(n), kSource, __LINE__);
        return false;
    }
    logNormal("Extract component version: ", "Success");
    return true;
}

// What one version gate logs and the refusal it answers.
struct VersionGate {
    const char* minimumLabel;
    const char* actualLabel;
    const char* verdictLabel;
    int refusal;
};

const VersionGate kServerGate = {
    "Mini server version: ", "Real server version: ", "Verify server version: ", kResultServiceTooOld};
const VersionGate kAdapterGate = {
    "Mini adapter version: ", "Real adapter version: ", "Verify adapter version: ", kResultAdapterTooOld};

// order is compareVersion(minimum, actual): the gate passes when the page's minimum is the actual
// version or an older one.
bool passVersionGate(const VersionGate& gate, int order, const char* minimum, const char* actual, int slot,
                     JsonMap** reply) {
    logWarning(gate.minimumLabel, minimum);
    logWarning(gate.actualLabel, actual);
    if (order != 0 && order != -1) {
        logWarning(gate.verdictLabel, "Fail");
        releaseSessionSlot(slot);
        resetReplyResult(reply, gate.refusal, kSource, __LINE__);
        return false;
    }
    logNormal(gate.verdictLabel, "Pass");
    return true;
}

// The version gates: the page's minimum service version, then its minimum adapter version. The
// reply names both versions, so that a refused page can tell which one is too old.
bool passVersionGates(int slot, const char* minServer, const char* minLib, const char* version,
                      JsonMap** reply) {
    int order = compareVersion(minServer, TESSARION_SERVER_VERSION);
    setJsonValue(*reply, "ServerVersion", TESSARION_SERVER_VERSION);
    setJsonValue(*reply, "LibVersion", version);
    return passVersionGate(kServerGate, order, minServer, TESSARION_SERVER_VERSION, slot, reply) &&
           passVersionGate(kAdapterGate, compareVersion(minLib, version), minLib, version, slot, reply);
}

// The installer's version, from the version file its installer left in the data folder, into the
// reply and the slot.
void keepInstallerVersion(int slot, const char* installerName, JsonMap* reply) {
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
    setJsonValue(reply, "InstallerVersion", text);
    SessionSlot& s = sessionSlots[slot];
    free(s.installerVersion);
    s.installerVersion = copyString(text);
}

}  // namespace

int openSession(const JsonMap* request, const char* origin, const char* sessionId, JsonMap** reply) {
    char libDir[kPathFieldSize], comName[kPathFieldSize];
    if (!resolveAdapterPath(request, libDir, comName, reply)) return -1;
    int slot = takeSessionSlot(sessionId);
    if (slot < 0) return -1;
    if (!loadAdapterCopy(slot, libDir, comName, reply) || !bindEntryPoints(slot, reply) ||
        !unlockAdapter(slot, origin, reply))
        return -1;
    char version[64];
    if (!readAdapterVersion(slot, version, sizeof version, reply)) return -1;

    char installerName[512], minServer[64], minLib[64];
    readKey(request, "InstallerName", installerName, sizeof installerName);
    readKey(request, "minServerVersion", minServer, sizeof minServer);
    readKey(request, "minLibVersion", minLib, sizeof minLib);
    if (!*minLib) copyBounded(minLib, sizeof minLib, "0.0.0.0");
    if (!passVersionGates(slot, minServer, minLib, version, reply)) return -1;

    if (*installerName) keepInstallerVersion(slot, installerName, *reply);
    return slot;
}
