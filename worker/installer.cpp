// The installer's support modes: the uninstall detection, the delayed delete of a file or folder
// chain, the key-file byte array for "Cert.h", and the worker's deletion of itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>

#include "common/log.h"
#include "common/system.h"
#include "common/text.h"
#include "ipc/transport.h"
#include "process_control/process_control.h"
#include "worker/worker.h"

namespace {

constexpr size_t kTextSize = 512;
constexpr size_t kMaxPieces = 16;

bool uninstallerRunning() {
    return isProcessRunning(L"Au_.exe") || isProcessRunning(L"Un_A.exe");
}

std::wstring toWide(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, static_cast<LPWSTR>(nullptr), 0);
    if (n <= 0) return L"";
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), n) <= 0) return L"";
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

std::string toUtf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return "";
    std::string narrow(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), n, nullptr, nullptr) <= 0) return "";
    narrow.resize(strlen(narrow.c_str()));
    return narrow;
}

std::vector<std::string> splitPieces(const std::string& tail) {
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < tail.size()) {
        while (at < tail.size() && tail[at] == ' ') ++at;
        size_t end = at;
        while (end < tail.size() && tail[end] != ' ') ++end;
        if (end > at) pieces.push_back(tail.substr(at, end - at));
        at = end;
    }
    return pieces;
}

void joinPieces(const std::vector<std::string>& pieces, std::vector<std::string>& items) {
    items.clear();
    for (size_t i = 0; i < pieces.size(); ++i) {
        std::string item = pieces[i];
        while (item.find(".exe") == std::string::npos && i + 1 < pieces.size()) item += " " + pieces[++i];
        items.push_back(item);
    }
}

size_t countDlls(const std::vector<std::wstring>& paths) {
    size_t count = 0;
    for (const std::wstring& path : paths)
        if (path.find(L".dll") != std::wstring::npos) ++count;
    return count;
}

// Tries a removal 11 times, 500 ms apart.
bool removeWithRetries(BOOL(WINAPI* remove)(LPCWSTR), const wchar_t* path) {
    for (int attempt = 0; attempt < 11; ++attempt) {
        if (remove(path)) return true;
        Sleep(500);
    }
    return false;
}

void cutAtLastBackslash(wchar_t* path) {
    wchar_t* last = wcsrchr(path, L'\\');
    if (last != nullptr) *last = L'\0';
}

}  // namespace

std::string commandTail(const char* commandLine) {
    if (commandLine == nullptr) return "";
    const char* blank = strchr(commandLine, ' ');
    if (blank == nullptr) return "";
    std::string tail(blank + 1);
    if (tail.size() > kTextSize - 1) tail.resize(kTextSize - 1);
    return tail;
}

bool joinUninstallItems(const std::string& tail, std::vector<std::string>& items) {
    std::vector<std::string> pieces = splitPieces(tail);
    items.clear();
    if (pieces.size() > kMaxPieces) return false;
    joinPieces(pieces, items);
    return true;
}

bool findFilesByPattern(const wchar_t* folder, const wchar_t* pattern, std::vector<std::wstring>& results) {
    results.clear();
    if (folder == nullptr || pattern == nullptr) return false;
    std::deque<std::wstring> queue{folder};
    while (!queue.empty()) {
        std::wstring current = queue.front();
        queue.pop_front();
        std::wstring search = current + L"\\" + pattern;
        WIN32_FIND_DATAW entry = {};
        HANDLE find = FindFirstFileW(search.c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) {
            logError("INVALID_HANDLE_VALUE at ", toUtf8(search.c_str()).c_str());
            return false;
        }
        do {
            if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
            std::wstring full = current + L"\\" + entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                queue.push_back(full);
            else
                results.push_back(full);
        } while (FindNextFileW(find, &entry));
        DWORD error = GetLastError();
        FindClose(find);
        if (error != ERROR_NO_MORE_FILES) {
            logError("ERROR_NO_MORE_FILES", "");
            return false;
        }
    }
    return true;
}

namespace {

// Logs the command line and its items; false, with the warning, unless there are exactly two.
bool readUninstallItems(const char* commandLine, std::vector<std::string>& items) {
    std::string tail = commandTail(commandLine);
    logNormal("CmdLine: ", tail.c_str());
    std::vector<std::string> pieces = splitPieces(tail);
    logNormalInt("SplitLength: ", static_cast<int>(pieces.size()));
    // More pieces than the item list holds are refused like a wrong number of items.
    bool joined = joinUninstallItems(tail, items);
    if (joined) {
        logNormalInt("SplitLength: ", static_cast<int>(items.size()));
        for (size_t i = 0; i < items.size(); ++i) {
            char line[kTextSize];
            snprintf(line, sizeof line, "[%d] = %s", static_cast<int>(i), items[i].c_str());
            logNormal("argv", line);
        }
    }
    if (!joined || items.size() != 2) {
        logWarning("Tessarion uninstall detect: ", "Parameter error");
        return false;
    }
    return true;
}

// True when the set must stay: its files cannot be listed, or adapters remain in sub-folders,
// where another product still uses the set and gets the monitor started again.
bool setStillInUse() {
    std::vector<std::wstring> total;
    std::vector<std::wstring> main;
    if (!findFilesByPattern(moduleFolder, L"*", total)) {
        logWarning("TotolFileList: ", "Detect error");
        return true;
    }
    if (!findFilesByPattern(moduleFolder, L"*.dll", main)) {
        logWarning("MainFileList: ", "Detect error");
        logWarning("MainFileList: ", "Uninstall mode");
        return false;
    }
    char sizes[kTextSize];
    snprintf(sizes, sizeof sizes, "TotolSize = %zu MainSize = %zu", countDlls(total), countDlls(main));
    logNormal("Uninstall detect result: ", sizes);
    if (countDlls(total) == countDlls(main)) return false;
    logNormal("->", "MonitorStart");
    sendIPCMsgWin(instanceTag, MONITOR_PROGRAM_NAME, "TessarionInstruction_MonitorStart");
    return true;
}

void startSilentUninstaller(const char* uninstaller) {
    // A path with blanks is quoted, or it would be split into a program and its arguments.
    std::string uninstallPath = uninstaller;
    if (uninstallPath.find(' ') != std::string::npos && uninstallPath[0] != '"')
        uninstallPath = "\"" + uninstallPath + "\"";
    std::wstring silent = toWide(uninstallPath + " /S");
    hideNOWaitCommand(silent.c_str());
}

// Deletes the adapters copied into the shared copy folder, the hidden ones too.
void deleteAdapterCopies() {
    wchar_t* copyFolder = getFolderPath("KVLBTessarion");
    if (copyFolder == nullptr || copyFolder[0] == L'\0') {
        // "del /Q \*.dll" would empty the root of the drive.
        logWarning("Copy folder: ", "Not found, nothing deleted");
    } else {
        std::wstring folder = copyFolder;
        hideWaitCommand((L"del /Q " + folder + L"\\*.dll").c_str(), true);
        hideWaitCommand((L"del /A:H /Q " + folder + L"\\*.dll").c_str(), true);
    }
    free(copyFolder);
}

// The path the command line names, its quotes removed; false, once logged, when there is none.
bool readDeletePath(const char* commandLine, wchar_t* path) {
    std::string tail = commandTail(commandLine);
    logNormal("CmdLine: ", tail.c_str());
    char* unquoted = replaceAll(tail.c_str(), "\"", "");
    if (unquoted != nullptr) copyBoundedW(path, kTextSize, toWide(unquoted).c_str());
    free(unquoted);
    char message[sizeof instanceTag + 32];
    snprintf(message, sizeof message, "[TessarionWorker-%s] Input: ", instanceTag);
    logNormal(message, tail.c_str());
    if (path[0] == L'\0') {
        logNormal("Input is empty", "");
        return false;
    }
    return true;
}

// Gives a running uninstaller up to 30 s to end, saying once that it waits.
void waitForUninstallerBeforeDelete() {
    for (int pause = 0; pause < 30 && uninstallerRunning(); ++pause) {
        if (pause == 0) {
            char message[sizeof instanceTag + 32];
            snprintf(message, sizeof message, "[TessarionWorker-%s] ", instanceTag);
            logNormal(message, "NSIS uninstaller is running, wait");
        }
        Sleep(1000);
    }
    Sleep(200);
}

// Deletes the file and leaves path at its folder; false when it cannot be deleted.
bool deleteFileOf(wchar_t* path, const char* commandLine) {
    if (!removeWithRetries(DeleteFileW, path)) {
        logNormal("Try too many times", "");
        return false;
    }
    char done[kTextSize + 32];
    snprintf(done, sizeof done, "Delete %s success", commandLine);
    logNormal(done, "");
    cutAtLastBackslash(path);
    return true;
}

// Removes the folder, then each folder above it, until one cannot be removed.
void deleteFolderChain(wchar_t* path) {
    while (path[0] != L'\0') {
        std::string shown = toUtf8(path);
        char line[kTextSize + 64];
        if (!removeWithRetries(RemoveDirectoryW, path)) {
            snprintf(line, sizeof line, "Delete %s retry too many times", shown.c_str());
            logNormal(line, "");
            return;
        }
        snprintf(line, sizeof line, "Delete %s success", shown.c_str());
        logNormal(line, "");
        cutAtLastBackslash(path);
    }
}

}  // namespace

bool runUninstallDetect(const char* commandLine) {
    logNormal("Uninstall detect area", "");
    selfDeleteFlag = 1;
    std::vector<std::string> items;
    if (!readUninstallItems(commandLine, items)) return false;
    char uninstaller[kTextSize];
    copyBounded(uninstaller, sizeof uninstaller, items[0].c_str());

    for (int pause = 0; pause < 32 && uninstallerRunning(); ++pause) Sleep(1000);
    Sleep(1000);

    if (setStillInUse()) return true;
    logNormal("->", "Unstall");
    startSilentUninstaller(uninstaller);
    deleteAdapterCopies();
    return true;
}

void runDelete(const char* commandLine) {
    logNormal("Delete area", "");
    selfDeleteFlag = 1;
    logNormal("Start", "");
    wchar_t path[kTextSize] = {};
    if (!readDeletePath(commandLine, path)) return;
    waitForUninstallerBeforeDelete();

    std::string narrowPath = toUtf8(path);
    if (narrowPath.empty()) {
        reportAllocFail("TessarionWorker", 373);
        return;
    }
    size_t mark = narrowPath.find_last_of(".\\/");
    bool isFile = mark == std::string::npos || narrowPath[mark] == '.';
    if (isFile) {
        if (mark != std::string::npos) logNormal("File mode", "");
        if (!deleteFileOf(path, commandLine)) return;
    }
    logNormal("Folder mode", "");
    deleteFolderChain(path);
}

std::string keyToByteText(const char* fileName, const unsigned char* bytes, size_t length) {
    std::string text;
    if (bytes == nullptr || length == 0) return text;
    bool rsa = fileName != nullptr && strstr(fileName, "_RSA.") != nullptr;
    char value[16];
    snprintf(value, sizeof value, "0x%X", static_cast<unsigned>(bytes[0]));
    text = std::string(rsa ? "byte RSAKey[] = { " : "byte ECKey[] = { ") + value;
    for (size_t i = 1; i < length; ++i) {
        snprintf(value, sizeof value, ", 0x%X", static_cast<unsigned>(bytes[i]));
        text += value;
    }
    return text + "};";
}

void runKeyToByte(const char* commandLine) {
    logNormal("KeyToByte area", "");
    char* fileName = replaceAll(commandLine, "-KeyToByte ", "");
    if (fileName == nullptr) return;
    logNormal("FileName: ", fileName);
    char* content = readWholeFile(toWide(fileName).c_str());
    if (content == nullptr) {
        // Nothing to declare: "Cert.h" stays as it is.
        logWarning("KeyToByte: ", "Read file fail");
        free(fileName);
        return;
    }
    std::string text =
        keyToByteText(fileName, reinterpret_cast<const unsigned char*>(content), strlen(content));
    appendCertText(text.c_str());
    free(content);
    free(fileName);
}

bool appendCertText(const char* text) {
    if (text == nullptr) return false;
    FILE* file = _wfopen(L"Cert.h", L"a");
    if (file == nullptr) return false;
    fputs(text, file);
    fclose(file);
    return true;
}

void selfDeleteAfterExit() {
    wchar_t self[MAX_PATH + 1] = {};
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return;
    wchar_t command[MAX_PATH + 96];
    swprintf(command, sizeof command / sizeof command[0],
             L"cmd.exe /C timeout /t 2 /nobreak > Nul & Del \"%ls\"", self);
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}
