// Tray icon states, balloons, the popup menu, the language switch and the sweep of the shell's
// notification areas.
#include <cstdlib>
#include <cwchar>

#include "common/log.h"
#include "common/text.h"
#include "monitor/keeper.h"
#include "monitor/monitor.h"

NOTIFYICONDATAW trayIconData;
std::mutex trayLock;

namespace {

wchar_t* balloonText(const wchar_t* format, const wchar_t* a, const wchar_t* b) {
    wchar_t* text = static_cast<wchar_t*>(calloc(kMonitorText, sizeof(wchar_t)));
    if (text == nullptr) {
        reportAllocFail(__FILE__, __LINE__);
        return nullptr;
    }
    swprintf(text, kMonitorText, format, a, b);
    return text;
}

// Icon change under the record's lock; returns the record as it now is.
NOTIFYICONDATAW changeIcon(int resource, unsigned char running) {
    std::lock_guard<std::mutex> l(trayLock);
    mainRunning.store(running);
    if (trayIconData.hIcon != nullptr) DestroyIcon(trayIconData.hIcon);
    trayIconData.hIcon = LoadIconW(monitorInstance, MAKEINTRESOURCEW(resource));
    // Its empty balloon text also takes down a balloon that is still shown.
    Shell_NotifyIconW(NIM_MODIFY, &trayIconData);
    return trayIconData;
}

}  // namespace

void showBalloon(const NOTIFYICONDATAW& record, wchar_t* text) {
    NOTIFYICONDATAW copy = record;
    copy.uFlags = NIF_ICON | NIF_TIP | NIF_INFO;
    copyBoundedW(copy.szInfo, 256, text != nullptr ? text : L"");
    Shell_NotifyIconW(NIM_MODIFY, &copy);
    free(text);
}

void showBalloonText(const wchar_t* text) {
    NOTIFYICONDATAW copy;
    {
        std::lock_guard<std::mutex> l(trayLock);
        copy = trayIconData;
    }
    showBalloon(copy, copyWideString(text != nullptr ? text : L""));
}

void setIconRunning() {
    NOTIFYICONDATAW record = changeIcon(kIconRunning, 1);
    if (silentmode.load()) return;
    wchar_t state[kMonitorText];
    if (restarted.load()) {
        uiTextCopy(20, state);
        restarted.store(0);
    } else {
        uiTextCopy(2, state);
    }
    showBalloon(record, balloonText(L"%ls %ls", L"" TESSARION_NAME, state));
}

void setIconStopped() {
    NOTIFYICONDATAW record = changeIcon(kIconStopped, 0);
    if (silentmode.load() || restarted.load()) return;
    wchar_t state[kMonitorText];
    uiTextCopy(3, state);
    showBalloon(record, balloonText(L"%ls %ls", L"" TESSARION_NAME, state));
}

void switchLanguage(int newLanguage, int nameText) {
    language.store(newLanguage);
    buildLanguageTexts();
    wchar_t prefix[kMonitorText];
    wchar_t name[kMonitorText];
    uiTextCopy(26, prefix);
    uiTextCopy(nameText, name);
    wchar_t* text = balloonText(L"%ls%ls", prefix, name);
    NOTIFYICONDATAW copy;
    {
        std::lock_guard<std::mutex> l(trayLock);
        copy = trayIconData;
    }
    showBalloon(copy, text);
}

void showTrayMenu(HWND window) {
    wchar_t t[kUiTextCount][kMonitorText];
    for (int i = 1; i < kUiTextCount; ++i) uiTextCopy(i, t[i]);
    HMENU menu = CreatePopupMenu();
    HMENU languages = CreatePopupMenu();
    if (menu == nullptr || languages == nullptr) {
        if (menu) DestroyMenu(menu);
        if (languages) DestroyMenu(languages);
        return;
    }
    if (mainRunning.load()) {
        AppendMenuW(menu, MF_STRING, kCmdStop, t[7]);
        AppendMenuW(menu, MF_STRING, kCmdRestart, t[8]);
    } else {
        AppendMenuW(menu, MF_STRING, kCmdStart, t[6]);
    }
    int current = language.load();
    AppendMenuW(languages, MF_STRING | (current == kLanguageTradChinese ? MF_CHECKED : 0), kCmdTradChinese,
                t[13]);
    AppendMenuW(languages, MF_STRING | (current == kLanguageEnglish ? MF_CHECKED : 0), kCmdEnglish, t[14]);
    AppendMenuW(languages, MF_STRING | (current == kLanguageJapanese ? MF_CHECKED : 0), kCmdJapanese, t[15]);
    AppendMenuW(languages, MF_STRING | (current == kLanguageSimpChinese ? MF_CHECKED : 0), kCmdSimpChinese,
                t[16]);
    bool languagesOwned = AppendMenuW(menu, MF_POPUP, (UINT_PTR)languages, t[11]) != FALSE;
    AppendMenuW(menu, MF_STRING | (silentmode.load() ? 0 : MF_CHECKED), kCmdSilentMode, t[17]);
    AppendMenuW(menu, MF_STRING, kCmdAbout, t[9]);
    if (debugMode.load()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING | (isScreenShot.load() ? MF_CHECKED : 0), kCmdScreenShot, t[18]);
        AppendMenuW(menu, MF_STRING, kCmdDebugOff2, t[22]);
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kCmdQuit, t[12]);
    POINT cursor = {0, 0};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTALIGN, cursor.x, cursor.y, 0, window, nullptr);
    // The popup belongs to the menu once appended; destroying the menu takes it along.
    if (!languagesOwned) DestroyMenu(languages);
    DestroyMenu(menu);
}

BOOL CALLBACK sweepTrayIconArea(HWND child, LPARAM) {
    if (child == nullptr) {
        logWarningInt("NULL Handle, Error: ", (int)GetLastError());
        return TRUE;
    }
    RECT area = {0, 0, 0, 0};
    GetClientRect(child, &area);
    // Moving the mouse over an icon whose process has ended makes the shell drop it.
    for (LONG x = 0; x < area.right; x += 5)
        for (LONG y = 0; y < area.bottom; y += 5)
            SendMessageW(child, WM_MOUSEMOVE, 0, (LPARAM)((y << 16) | (x & 0xFFFF)));
    return TRUE;
}

void refreshTrayIcons() {
    HWND tray = FindWindowExW(nullptr, nullptr, L"Shell_TrayWnd", nullptr);
    HWND notify = tray ? FindWindowExW(tray, nullptr, L"TrayNotifyWnd", nullptr) : nullptr;
    HWND pager = notify ? FindWindowExW(notify, nullptr, L"SysPager", nullptr) : nullptr;
    if (pager != nullptr)
        EnumChildWindows(pager, sweepTrayIconArea, 0);
    else
        logErrorInt("Get SysPager Error: ", (int)GetLastError());
    HWND overflow = FindWindowExW(nullptr, nullptr, L"NotifyIconOverflowWindow", nullptr);
    if (overflow != nullptr)
        EnumChildWindows(overflow, sweepTrayIconArea, 0);
    else
        logErrorInt("Get NotifyIconOverflowWindow Error: ", (int)GetLastError());
}
