// The monitor's process-wide state and the functions its parts call on each other. The flags are
// single values written by one thread and polled by others, so atomics serve; the interface texts
// and the tray icon record have locks of their own, because two threads read and rewrite them.
#pragma once
#include <atomic>
#include <mutex>

#include "platform/win_shell.h"

constexpr size_t kMonitorText = 512;
constexpr int kUiTextCount = 34;  // texts 1 to 33

// Tray window, icons and callback.
#define MONITOR_WINDOW_CLASS L"KVLBTessarionMonitor.exe"
#define MONITOR_TRAY_CALLBACK (WM_USER + 1)
#define ABOUT_CAPTION L"KVLBTessarion Monitor"
#define TESSARION_NAME "KVLBTessarion"
constexpr int kIconStart = 101;
constexpr int kIconRunning = 104;
constexpr int kIconStopped = 105;
constexpr DWORD kTrayRecordSize = NOTIFYICONDATAW_VISTA_SIZE;

// Menu command identifiers.
enum MonitorCommand : UINT {
    kCmdQuitOther = 40002,
    kCmdQuit = 40003,
    kCmdStop = 61001,
    kCmdStart = 61002,
    kCmdRestart = 61003,
    kCmdAbout = 61004,
    kCmdDebugOn = 61005,
    kCmdDebugOff = 61006,
    kCmdTradChinese = 61007,
    kCmdEnglish = 61008,
    kCmdSimpChinese = 61010,
    kCmdSilentMode = 61011,
    kCmdScreenShot = 61012,
    kCmdJapanese = 61013,
    kCmdDebugOn2 = 61014,
    kCmdDebugOff2 = 61015,
    kCmdAutoCheckUpdate = 61018,
};

// Languages.
constexpr int kLanguageTradChinese = 1;
constexpr int kLanguageEnglish = 2;
constexpr int kLanguageJapanese = 4;
constexpr int kLanguageSimpChinese = 8;

extern std::atomic<unsigned char> aboutMayShow;
extern std::atomic<unsigned char> mainRunning;
extern std::atomic<unsigned char> debugMode;
extern std::atomic<unsigned char> isScreenShot;
extern std::atomic<unsigned char> silentmode;
extern std::atomic<unsigned char> autocheckupdate;
extern std::atomic<int> language;
// The code page of the monitor's narrow and wide conversions (65001 until the About box reads
// the component files in theirs).
extern std::atomic<UINT> codePage;

extern char instanceTag[kMonitorText];
extern wchar_t dataFolder[kMonitorText];
extern wchar_t configPath[kMonitorText];
extern wchar_t logIniPath[kMonitorText];
extern char logIniText[kMonitorText];
extern wchar_t componentList[kMonitorText];
extern HINSTANCE monitorInstance;
extern HWND trayWindow;

// The tray icon record; trayLock covers every change and every copy of it.
extern NOTIFYICONDATAW trayIconData;
extern std::mutex trayLock;
extern UINT taskbarCreatedMessage;

// Interface texts (text N); rebuilt under textLock, read through uiTextCopy.
extern wchar_t uiText[kUiTextCount][kMonitorText];
extern std::mutex textLock;
void uiTextCopy(int number, wchar_t* out /* kMonitorText */);

// Languages.
int detectLanguage();
void buildLanguageTexts();

// Tray icon, balloons, menu.
void showBalloon(const NOTIFYICONDATAW& record, wchar_t* text);  // frees text
void showBalloonText(const wchar_t* text);                       // from a copy of trayIconData
void showTrayMenu(HWND window);
void switchLanguage(int newLanguage, int nameText);
BOOL CALLBACK sweepTrayIconArea(HWND child, LPARAM unused);

// Debug mode.
void buildLogIniText();
void startDebugMode();
void stopDebugMode();
void toggleDebugMode();
void writeLogIni();

// Screenshots.
void* screenshotKeyWatcher(void*);
void ScreenCutter();

// Key sequences.
typedef void (*CheatCodeAction)(void);
struct cheatCodeRecord {
    int codes[64];
    int count;
    CheatCodeAction action;
};
cheatCodeRecord* initCheatCode(const int* codes, int count);
void registerCheatCodes();
void* cheatCodeWatcher(void*);

// About box.
void ShowMonitorAbout();
void scanInstalledComponents(const wchar_t* folder);
void readComponentInfo(const wchar_t* path);

// Configuration file.
char* buildConfigText();
void writeConfigFile();
void readConfigFile();

// Start-up and the window.
int monitorMain(HINSTANCE instance);
LRESULT CALLBACK trayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void MonitorFinal();
