// Debug mode: the log ini in the user's temp folder, which every program's log set-up finds, and
// the system-wide event whose pulse toggles the other programs' logging.
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "common/codec.h"
#include "common/log.h"
#include "common/log_writer.h"
#include "common/system.h"
#include "common/text.h"
#include "ipc/transport.h"
#include "monitor/monitor.h"

std::atomic<unsigned char> debugMode{0};
wchar_t logIniPath[kMonitorText];
char logIniText[kMonitorText];

namespace {

// Without a desktop folder the log goes to the temp folder instead. The folder is taken wide and
// put into UTF-8, the form the log writer opens paths in: the narrow shell call would give the
// ANSI code page's text on Windows, which no user name outside ASCII survives.
void logFolderBase(char* out, size_t size) {
    out[0] = '\0';
    wchar_t* folder = getDesktopFolder();
    if (folder == nullptr || folder[0] == L'\0') {
        free(folder);
        folder = getUserTempPath();
    }
    char* narrow = folder ? wideToUtf8(folder) : nullptr;
    copyBounded(out, size, narrow ? narrow : "");
    size_t n = strlen(out);
    if (n > 0 && out[n - 1] == '\\') out[n - 1] = '\0';
    free(narrow);
    free(folder);
}

void closeAboutBox() {
    HWND about = FindWindowW(nullptr, ABOUT_CAPTION);
    if (about != nullptr) PostMessageW(about, WM_CLOSE, 0, 0);
}

void debugBalloon(int number) {
    wchar_t text[kMonitorText];
    uiTextCopy(number, text);
    showBalloonText(text);
}

}  // namespace

void buildLogIniText() {
    // UTF-8 takes up to three bytes for a path character; the rest of the line fits beside it.
    char desktop[kMonitorText - 64];
    logFolderBase(desktop, sizeof desktop);
    char line[kMonitorText];
    logIniText[0] = '\0';
    snprintf(line, sizeof line, "[%s]\n", TESSARION_NAME);
    appendBounded(logIniText, line);
    snprintf(line, sizeof line, "Log File=%s\\TessarionLog\\%s.txt\n", desktop, TESSARION_NAME);
    appendBounded(logIniText, line);
    appendBounded(logIniText, "Log Level=5");
}

void writeLogIni() {
    if (!writeTextFile(logIniPath, logIniText)) logWarning("[Warning] ", "Write log ini file fail");
    wchar_t folder[kMonitorText];
    wchar_t* desktop = getDesktopFolder();
    if (desktop != nullptr) {
        swprintf(folder, kMonitorText, L"%ls\\TessarionLog", desktop);
    } else {
        char base[MAX_PATH + 1];
        logFolderBase(base, sizeof base);
        wchar_t* wideBase = utf8ToWide(base);
        swprintf(folder, kMonitorText, L"%ls\\TessarionLog", wideBase ? wideBase : L"");
        free(wideBase);
    }
    free(desktop);
    logNormalWide("Try to create: ", folder);
    CreateDirectoryW(folder, nullptr);
    setLog(instanceTag);
}

void startDebugMode() {
    debugMode.store(1);
    closeAboutBox();
    writeLogIni();
    pulseDebugStatusUpdateEvent();
    debugBalloon(23);
}

void stopDebugMode() {
    debugMode.store(0);
    closeAboutBox();
    DeleteFileW(logIniPath);
    logNormal("Log state: ", "Disable");
    logEnabled.exchange(0);
    setLogFileLevel(nullptr, 0);
    pulseDebugStatusUpdateEvent();
    debugBalloon(22);
}

void toggleDebugMode() {
    if (debugMode.load())
        stopDebugMode();
    else
        startDebugMode();
}
