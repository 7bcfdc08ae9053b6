// The top-most window watcher: the windows there are when a call starts, then a thread that raises
// each window that appears after them, every 300 ms until the call returns.
#include "service/top_ui.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "common/log.h"
#include "common/text.h"

namespace {

DWORD targetProcessId;
bool allWindowsFlag;
int watchMode;  // 1 recording, 2 watching
HWND* topUiList;
size_t topUiCount;
size_t topUiListCapacity = 256;
std::atomic<unsigned char> topUiStop{0};
pthread_t topUiWatcher;
bool watcherRunning;

bool inList(HWND window) {
    for (size_t i = 0; i < topUiCount; ++i)
        if (topUiList[i] == window) return true;
    return false;
}

}  // namespace

size_t topUiCapacity() {
    return topUiListCapacity;
}

BOOL CALLBACK topUiEnumProc(HWND window, LPARAM) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != targetProcessId && !allWindowsFlag) return TRUE;
    if (topUiCount >= topUiListCapacity) {
        size_t grown = topUiListCapacity * 2;
        HWND* bigger = nullptr;
        if (grown * sizeof(HWND) <= UINT32_MAX)
            bigger = static_cast<HWND*>(realloc(topUiList, grown * sizeof(HWND)));
        if (!bigger) {
            logError("", "Resizing WNDListSize failed");
            return FALSE;
        }
        topUiList = bigger;
        topUiListCapacity = grown;
        logNormalInt("Resize WNDListSize to ", static_cast<int>(grown));
    }
    if (watchMode == 2) {
        if (inList(window)) return TRUE;
        wchar_t title[513] = {0};
        GetWindowTextW(window, title, 512);
        // The input-method helper windows are noted but never raised.
        if (wcscmp(title, L"MSCTFIME UI") != 0 && wcscmp(title, L"Default IME") != 0) {
            logNormalWide("Set UI top: ", title);
            SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
            logNormal("Set UI top: ", "Complete");
        }
    }
    topUiList[topUiCount++] = window;
    return TRUE;
}

void* topUiThread(void*) {
    watchMode = 2;
    for (;;) {
        Sleep(300);
        if (topUiStop.load()) break;
        EnumWindows(topUiEnumProc, 0);
        if (topUiStop.load()) break;
    }
    return nullptr;
}

void startTopUi(DWORD processId, bool allWindows) {
    if (watcherRunning) stopTopUi();
    targetProcessId = processId;
    allWindowsFlag = allWindows;
    topUiList = static_cast<HWND*>(allocZeroed(topUiListCapacity * sizeof(HWND)));
    topUiCount = 0;
    if (!topUiList) return;
    watchMode = 1;
    EnumWindows(topUiEnumProc, 0);
    topUiStop.store(0);
    watcherRunning = pthread_create(&topUiWatcher, nullptr, topUiThread, nullptr) == 0;
}

void stopTopUi() {
    topUiStop.store(1);
    if (watcherRunning) pthread_join(topUiWatcher, nullptr);
    watcherRunning = false;
    allWindowsFlag = false;
    free(topUiList);
    topUiList = nullptr;
    topUiCount = 0;
}
