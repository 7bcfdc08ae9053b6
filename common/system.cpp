// Hidden commands, per-user mutexes, folders, files and the loopback port check, on the Windows
// calls of the platform layer.
#include "common/system.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/codec.h"
#include "common/log.h"
#include "common/text.h"

wchar_t lastDataFolder[MAX_PATH];

namespace {

const char* const kSource = "Tool";

wchar_t* allocWide(size_t count) {
    return static_cast<wchar_t*>(calloc(count, sizeof(wchar_t)));
}

// A netstat line that shows address as its local or foreign end, listening or connected.
bool isPortLine(const char* line, const char* address) {
    const int kWords = 4;
    const size_t kWordSize = 512;
    char words[kWords][kWordSize];
    int count = 0;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r') ++p;
        size_t length = static_cast<size_t>(p - start);
        if (count == kWords || length >= kWordSize) return false;
        memcpy(words[count], start, length);
        words[count][length] = '\0';
        ++count;
    }
    if (count != kWords) return false;
    if (!equalsAsciiNoCase(words[3], "LISTENING") && !equalsAsciiNoCase(words[3], "ESTABLISHED"))
        return false;
    return equalsAsciiNoCase(words[1], address) || equalsAsciiNoCase(words[2], address);
}

// Creates the process hidden; the handles are the caller's.
bool startHidden(wchar_t* commandLine, PROCESS_INFORMATION* info) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    *info = {};
    return CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, info) != FALSE;
}

}  // namespace

int hideWaitCommand(const wchar_t* command, bool useCmd) {
    if (command == nullptr) {
        logNormal("hideWaitCommand finish", "");
        return 1;
    }
    logNormalWide("hideWaitCommand: ", command);
    size_t size = wcslen(command) + 16;
    wchar_t* line = allocWide(size);
    if (line == nullptr) {
        reportAllocFail(kSource, 2217);
        return -1;
    }
    swprintf(line, size, useCmd ? L"cmd /c %ls" : L"%ls", command);
    PROCESS_INFORMATION info;
    if (!startHidden(line, &info)) {
        // Nothing to wait for: report the command as failed.
        logCommandError(command);
        logErrorInt("CreateProcess fail: ", static_cast<int>(GetLastError()));
        free(line);
        logNormal("hideWaitCommand finish", "");
        return -1;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(info.hProcess, &code)) code = static_cast<DWORD>(-1);
    if (code != 0) {
        logCommandError(command);
        logErrorInt("Command error code: ", static_cast<int>(code));
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    free(line);
    logNormal("hideWaitCommand finish", "");
    return static_cast<int>(code);
}

void hideNOWaitCommand(const wchar_t* command) {
    if (command == nullptr) {
        reportNullParameter("inputCommand", kSource, 2276);
        return;
    }
    logNormalWide("hideNOWaitCommand: ", command);
    size_t size = wcslen(command) + 1;
    wchar_t* line = allocWide(size);
    if (line == nullptr) {
        reportAllocFail(kSource, 2283);
        return;
    }
    wmemcpy(line, command, size);
    PROCESS_INFORMATION info;
    if (startHidden(line, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    free(line);
}

HANDLE getMutexLock(const wchar_t* inputMutexLock, DWORD timeout) {
    if (inputMutexLock == nullptr) {
        reportNullParameter("inputMutexLock", kSource, 2661);
        return nullptr;
    }
    wchar_t* user = getUserName();
    if (user == nullptr) {
        reportAllocFail(kSource, 2664);
        return nullptr;
    }
    wchar_t name[512];
    // A name that does not fit would be cut into another mutex's name. Measured first: a C
    // runtime may cut the text and still answer a length.
    const bool fits = wcslen(user) + 1 + wcslen(inputMutexLock) < 512;
    int length = fits ? swprintf(name, 512, L"%ls_%ls", user, inputMutexLock) : -1;
    free(user);
    if (length < 0) {
        reportAllocFail(kSource, 2677);
        return nullptr;
    }
    SECURITY_DESCRIPTOR descriptor = {};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = TRUE;
    HANDLE mutex = CreateMutexW(&attributes, FALSE, name);
    if (mutex == nullptr) {
        reportAllocFail(kSource, 2677);
        return nullptr;
    }
    if (WaitForSingleObject(mutex, timeout) == WAIT_OBJECT_0) return mutex;
    // Undoes an abandoned acquisition; fails harmlessly when the mutex is not ours.
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return nullptr;
}

HANDLE getMutexLock(const char* inputMutexLock, DWORD timeout) {
    if (inputMutexLock == nullptr) {
        reportNullParameter("inputMutexLock", kSource, 2661);
        return nullptr;
    }
    wchar_t* wide = utf8ToWide(inputMutexLock);
    if (wide == nullptr) {
        reportAllocFail(kSource, 2664);
        return nullptr;
    }
    HANDLE mutex = getMutexLock(static_cast<const wchar_t*>(wide), timeout);
    free(wide);
    return mutex;
}

wchar_t* getUserName() {
    wchar_t* name = allocWide(512);
    if (name == nullptr) {
        reportAllocFail(kSource, 2488);
        return nullptr;
    }
    DWORD size = 512;
    if (!GetUserNameW(name, &size)) {
        free(name);
        return nullptr;
    }
    return name;
}

wchar_t* getUserTempPath() {
    wchar_t* path = allocWide(MAX_PATH + 1);
    if (path == nullptr) {
        reportAllocFail(kSource, 2503);
        return nullptr;
    }
    DWORD n = GetTempPathW(MAX_PATH, path);
    if (n == 0 || n > MAX_PATH) {
        wmemset(path, L'\0', MAX_PATH + 1);
        printf("[ERROR] %s extract user temp folder fail at line %d in %s\n", "getUserTempPath", 2505,
               kSource);
    }
    return path;
}

wchar_t* getFolderPath(const char* subFolder) {
    wchar_t* path = allocWide(MAX_PATH);
    if (path == nullptr) {
        reportAllocFail(kSource, 2610);
        return nullptr;
    }
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path))) {
        wmemset(path, L'\0', MAX_PATH);
        logError("Get copy path: ", "Fail");
        return path;
    }
    path[MAX_PATH - 1] = L'\0';
    if (subFolder != nullptr && subFolder[0] != '\0') {
        wchar_t* wide = utf8ToWide(subFolder);
        size_t have = wcslen(path);
        if (have > 0 && path[have - 1] != L'\\' && have < MAX_PATH - 1) path[have++] = L'\\';
        if (wide != nullptr) {
            size_t room = MAX_PATH - 1 - have;
            size_t add = wcslen(wide);
            if (add > room) add = room;
            wmemcpy(path + have, wide, add);
            path[have + add] = L'\0';
        }
        free(wide);
    }
    copyBoundedW(lastDataFolder, MAX_PATH, path);
    return path;
}

wchar_t* getModuleFolder() {
    HMODULE module = GetModuleHandleW(nullptr);
    if (module == nullptr) return nullptr;
    wchar_t* path = allocWide(MAX_PATH + 1);
    if (path == nullptr) return nullptr;
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    if (n > MAX_PATH) n = MAX_PATH;
    path[n] = L'\0';
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash != nullptr && slash != path) *slash = L'\0';
    return path;
}

wchar_t* getWindowsFolder() {
    wchar_t path[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    return copyWideString(path);
}

bool fileExists(const wchar_t* inputFileName) {
    if (inputFileName == nullptr) {
        reportNullParameter("inputFileName", kSource, 2981);
        return false;
    }
    if (inputFileName[0] == L'\0') return false;
    if (GetFileAttributesW(inputFileName) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

char* readWholeFile(const wchar_t* inputPath) {
    if (inputPath == nullptr) {
        logWarning("inputPath is null", "");
        return nullptr;
    }
    FILE* f = _wfopen(inputPath, L"r");
    if (f == nullptr) {
        logWarning("Read file pointer is null", "");
        return nullptr;
    }
    char piece[512];
    char* text = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    while (fgets(piece, sizeof piece, f) != nullptr) {
        size_t add = strlen(piece);
        if (length + add + 1 > capacity) {
            size_t grown = capacity == 0 ? 512 + 1 : capacity * 2;
            while (grown < length + add + 1) grown *= 2;
            char* bigger = static_cast<char*>(realloc(text, grown));
            if (bigger == nullptr) {
                reportAllocFail(kSource, 3031);
                free(text);
                fclose(f);
                return nullptr;
            }
            memset(bigger + capacity, 0, grown - capacity);
            text = bigger;
            capacity = grown;
        }
        memcpy(text + length, piece, add);
        length += add;
        text[length] = '\0';
    }
    fclose(f);
    if (length == 0) {
        free(text);
        return nullptr;
    }
    return text;
}

bool netstatLineShowsPort(const char* line, int port) {
    if (line == nullptr) return false;
    char address[32];
    snprintf(address, sizeof address, "127.0.0.1:%d", port);
    return isPortLine(line, address);
}

bool isPortInUse(int port) {
    if (port <= 0 || port > 65535) return false;
    char address[32];
    snprintf(address, sizeof address, "127.0.0.1:%d", port);

    wchar_t folder[MAX_PATH];
    copyBoundedW(folder, MAX_PATH, lastDataFolder);
    if (folder[0] == L'\0') {
        // Not started through the service's start-up: the user's temp folder holds the scratch file.
        wchar_t* temp = getUserTempPath();
        if (temp != nullptr) copyBoundedW(folder, MAX_PATH, temp);
        free(temp);
        size_t n = wcslen(folder);
        if (n > 0 && folder[n - 1] == L'\\') folder[n - 1] = L'\0';
    }
    wchar_t tempFolder[MAX_PATH + 16];
    wchar_t scratch[MAX_PATH + 32];
    swprintf(tempFolder, MAX_PATH + 16, L"%ls\\Tempfile", folder);
    swprintf(scratch, MAX_PATH + 32, L"%ls\\Tempfile\\TessarionTemp", folder);
    // The redirection needs the folder; without it every port would look free.
    CreateDirectoryW(folder, nullptr);
    CreateDirectoryW(tempFolder, nullptr);

    wchar_t command[MAX_PATH + 96];
    swprintf(command, MAX_PATH + 96, L"netstat -n -a | find \"127.0.0.1\" > %ls", scratch);
    if (hideWaitCommand(command, true) != 0) return false;

    char* text = readWholeFile(scratch);
    if (text == nullptr) return false;
    bool inUse = false;
    char* line = text;
    while (line != nullptr && !inUse) {
        char* end = strchr(line, '\n');
        if (end != nullptr) *end = '\0';
        inUse = isPortLine(line, address);
        line = end != nullptr ? end + 1 : nullptr;
    }
    free(text);
    return inUse;
}

bool writeTextFile(const wchar_t* path, const char* text) {
    if (path == nullptr || path[0] == L'\0' || text == nullptr) return false;
    FILE* file = _wfopen(path, L"w");
    if (file == nullptr) return false;
    fprintf(file, "%s", text);
    fclose(file);
    return true;
}

void makeFolderLevels(const wchar_t* path) {
    if (path == nullptr) return;
    const size_t size = 512;
    size_t length = wcslen(path);
    wchar_t level[size];
    for (size_t i = 0; i < length && i < size; ++i) {
        if (path[i] != L'\\' && path[i] != L'/') continue;
        if (i == 0) continue;
        wmemcpy(level, path, i);
        level[i] = L'\0';
        CreateDirectoryW(level, nullptr);
    }
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
