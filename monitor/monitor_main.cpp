// Start-up of the tray monitor, its hidden window's procedure with the instructions it acts on, and
// its final function.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/codec.h"
#include "common/log.h"
#include "common/numbers.h"
#include "common/system.h"
#include "common/text.h"
#include "common/winver.h"
#include "ipc/message.h"
#include "ipc/transport.h"
#include "monitor/keeper.h"
#include "monitor/monitor.h"
#include "process_control/process_control.h"

std::atomic<unsigned char> mainRunning{0};
char instanceTag[kMonitorText];
wchar_t dataFolder[kMonitorText];
HINSTANCE monitorInstance;
HWND trayWindow;
// Registered by the program entry, before monitorMain runs.
UINT taskbarCreatedMessage = 0;

namespace {

void startThread(void* (*body)(void*)) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) == 0) pthread_detach(thread);
}

void toggleSetting(std::atomic<unsigned char>& flag) {
    flag.store(flag.load() ? 0 : 1);
    writeConfigFile();
}

int exitRoad(HANDLE single) {
    CloseHandle(single);
    PostQuitMessage(0);
    std::lock_guard<std::mutex> l(trayLock);
    Shell_NotifyIconW(NIM_DELETE, &trayIconData);
    memset(&trayIconData, 0, sizeof trayIconData);
    trayIconData.cbSize = kTrayRecordSize;
    return 0;
}

// The tray window runs the service on MonitorStart as on Start, and drops without a record what
// it cannot copy.
void wantMainRunning(TessarionMessage*) {
    desiredState.store(kDesiredRun);
}

constexpr IpcInstructionRoute kTrayRoutes[] = {
    {kInstructionMonitorStart, wantMainRunning},
    {kInstructionStart, wantMainRunning},
    {kInstructionStop, [](TessarionMessage*) { stopMainProgram(); }},
    {kInstructionRestart, [](TessarionMessage*) { restartMainProgram(); }},
    {kInstructionSuicide, [](TessarionMessage*) { MonitorFinal(); }},
};

constexpr IpcCopyDataRules kTrayRules = {
    .allocFailSource = nullptr,
    .verifyFail = {"Verify TessarionMessage fail", ""},
    .routedMessage = nullptr,
    .unknown = {"Receive unknow instruction: ", "Receive unknow message: "},
    .routes = kTrayRoutes,
};

void handleCommand(UINT command) {
    switch (command) {
        case kCmdQuitOther:
        case kCmdQuit:
            logNormal("Click MonitorFinal", "");
            MonitorFinal();
            break;
        case kCmdStop:
            logNormal("Click Tessarion Stop", "");
            stopMainProgram();
            break;
        case kCmdStart:
            logNormal("Click Tessarion Start", "");
            desiredState.store(kDesiredRun);
            break;
        case kCmdRestart:
            logNormal("Click Tessarion Restart", "");
            restartMainProgram();
            break;
        case kCmdAbout:
            logNormal("Click ShowMonitorAbout", "");
            ShowMonitorAbout();
            break;
        case kCmdDebugOn:
        case kCmdDebugOn2:
            logNormal("Click startDebugMode", "");
            startDebugMode();
            break;
        case kCmdDebugOff:
        case kCmdDebugOff2:
            logNormal("Click stopDebugMode", "");
            stopDebugMode();
            break;
        case kCmdTradChinese:
            switchLanguage(kLanguageTradChinese, 13);
            break;
        case kCmdEnglish:
            switchLanguage(kLanguageEnglish, 14);
            break;
        case kCmdJapanese:
            switchLanguage(kLanguageJapanese, 15);
            break;
        case kCmdSimpChinese:
            switchLanguage(kLanguageSimpChinese, 16);
            break;
        case kCmdSilentMode:
            toggleSetting(silentmode);
            break;
        case kCmdScreenShot:
            logNormal("Click ScreenCutter", "");
            toggleSetting(isScreenShot);
            break;
        case kCmdAutoCheckUpdate:
            toggleSetting(autocheckupdate);
            break;
        default:
            break;
    }
}

LRESULT createTrayIcon(HWND window) {
    trayWindow = window;
    refreshTrayIcons();
    std::lock_guard<std::mutex> l(trayLock);
    if (trayIconData.hIcon != nullptr) DestroyIcon(trayIconData.hIcon);  // a launch before the window
    memset(&trayIconData, 0, sizeof trayIconData);
    trayIconData.cbSize = kTrayRecordSize;
    trayIconData.hWnd = window;
    trayIconData.uID = 0;
    trayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    trayIconData.uCallbackMessage = MONITOR_TRAY_CALLBACK;
    trayIconData.hIcon = LoadIconW(monitorInstance, MAKEINTRESOURCEW(kIconStart));
    swprintf(trayIconData.szTip, 128, L"%ls", L"" TESSARION_NAME);
    trayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_STATE | NIF_INFO;
    return Shell_NotifyIconW(NIM_ADD, &trayIconData) ? 0 : -1;
}

}  // namespace

LRESULT CALLBACK trayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == taskbarCreatedMessage && taskbarCreatedMessage != 0) {
        std::lock_guard<std::mutex> l(trayLock);
        if (!Shell_NotifyIconW(NIM_ADD, &trayIconData)) logNormal("Add icon: ", "fail");
        return DefWindowProcW(window, message, wParam, lParam);
    }
    switch (message) {
        case WM_CREATE:
            return createTrayIcon(window);
        case WM_CLOSE:
        case WM_DESTROY:
            MonitorFinal();
            return 0;
        case WM_COPYDATA:
            receiveIpcCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam), kTrayRules);
            break;
        case WM_COMMAND:
            handleCommand((UINT)(wParam & 0xFFFF));
            break;
        case MONITOR_TRAY_CALLBACK:
            if ((UINT)lParam == WM_LBUTTONDBLCLK)
                ShowMonitorAbout();
            else if ((UINT)lParam == WM_RBUTTONDOWN)
                showTrayMenu(window);
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void MonitorFinal() {
    stopMainProgram();
    sendIpcMessage(IPC_CHANNEL_WATCHDOG);
    {
        std::lock_guard<std::mutex> l(trayLock);
        if (trayIconData.hIcon != nullptr) DestroyIcon(trayIconData.hIcon);
        NOTIFYICONDATAW record = trayIconData;
        record.cbSize = kTrayRecordSize;
        record.hWnd = trayWindow;
        record.uID = 0;
        Shell_NotifyIconW(NIM_DELETE, &record);
        memset(&trayIconData, 0, sizeof trayIconData);
    }
    PostQuitMessage(0);
}

namespace {

// The log's tag for this run: "TessarionMonitor-" and a random SID.
void openInstanceLog() {
    char* sid = makeRandomSID();
    snprintf(instanceTag, sizeof instanceTag, "TessarionMonitor-%s", sid ? sid : "");
    free(sid);
    setLog(instanceTag);
}

void logEnvironment() {
    DWORD flags = getWindowsVersionFlags();
    if (flags != 0) {
        char* name = getWindowsName(flags);
        char line[kMonitorText];
        snprintf(line, sizeof line, "%s %s", name ? name : "", (flags & WINVER_64BIT) ? "64 bit" : "32 bit");
        logNormal("Environment: ", line);
        free(name);
    }
}

// The interface language, the service's data folder and the settings file in it.
void loadLanguageAndSettings() {
    language.store(detectLanguage());
    buildLanguageTexts();

    wchar_t* folder = getFolderPath("KVLBTessarionMain");
    copyBoundedW(dataFolder, kMonitorText, folder ? folder : L"");
    free(folder);
    CreateDirectoryW(dataFolder, nullptr);

    swprintf(configPath, kMonitorText, L"%ls\\%ls", dataFolder, L"KVLBTessarionConfig");
    readConfigFile();
}

// A running watchdog holds its channel's mutex: when the monitor can have it, none runs.
void startWatchdogUnlessRunning() {
    HANDLE watchdog = getMutexLock(IPC_CHANNEL_WATCHDOG, 500);
    if (watchdog != nullptr) {
        releaseMutexLock(watchdog);
        hideNOWaitCommand(L"KVLBTessarionWorker.exe -watchdog");
    }
}

// Debug mode is on while the log ini in the user's temp folder exists.
void readDebugModeState() {
    wchar_t* temp = getUserTempPath();
    copyBoundedW(logIniPath, kMonitorText, temp ? temp : L"");
    free(temp);
    makeFolderLevels(logIniPath);
    appendWideText(logIniPath, L"" TESSARION_NAME);
    appendWideText(logIniPath, L".ini");
    buildLogIniText();
    debugMode.store(fileExists(logIniPath) ? 1 : 0);
}

// The screenshot key watcher, the keeper, and the lock receiver with the keeper's state changes.
void startWatchersAndReceiver() {
    startThread(screenshotKeyWatcher);
    startThread(keeperThread);

    ipcFinalFunction = MonitorFinal;
    ipcStartFunction = startMainProgram;
    ipcStopFunction = stopMainProgram;
    ipcRestartFunction = restartMainProgram;
    startIpcLockReceiver();
}

// Until the final function posts the quit message; returns at once when the window cannot be made.
void runTrayWindow(HINSTANCE instance) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = trayWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = MONITOR_WINDOW_CLASS;
    if (!RegisterClassW(&wc)) return;
    trayWindow =
        CreateWindowExW(0, MONITOR_WINDOW_CLASS, L"", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (trayWindow != nullptr) runWindowUntilQuit(trayWindow);
    UnregisterClassW(MONITOR_WINDOW_CLASS, instance);
}

}  // namespace

int monitorMain(HINSTANCE instance) {
    monitorInstance = instance;
    ipcSenderName = MONITOR_PROGRAM_NAME;
    openInstanceLog();

    HANDLE single = getMutexLock(MONITOR_PROGRAM_NAME, 2000);
    if (single == nullptr) return exitRoad(nullptr);

    logEnvironment();
    loadLanguageAndSettings();
    if (!createDebugStatusUpdateEvent())
        logErrorInt("Monitor debugStatusUpdateEvent init failed. ", (int)GetLastError());
    startWatchdogUnlessRunning();
    readDebugModeState();
    startWatchersAndReceiver();

    // A monitor whose tray window is up already is asked to show its About box; this one ends.
    HWND existing = FindWindowW(MONITOR_WINDOW_CLASS, nullptr);
    if (existing != nullptr) {
        PostMessageW(existing, MONITOR_TRAY_CALLBACK, 0, WM_LBUTTONDBLCLK);
        return exitRoad(single);
    }

    runTrayWindow(instance);
    return exitRoad(single);
}
