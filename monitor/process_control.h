// Finding and ending processes by image name, the escalating kill the monitor and the worker
// share, the per-user mutex release, and the small helpers of the monitor's build.
#pragma once
#include <atomic>

#include "platform/win_base.h"

// The service and the monitor as image names, IPC channels and log names.
#define MAIN_PROGRAM_NAME "KVLBTessarionMain.exe"
#define MONITOR_PROGRAM_NAME "KVLBTessarionMonitor.exe"

// True when a process of that image name runs (letter case ignored).
bool isProcessRunning(const wchar_t* processName);
// Terminates, with exit code 9, every process whose image name is exactly that (case-sensitive).
// Always true.
bool killProcessByName(const wchar_t* filename);

// Ends a program: Suicide to its channel (its image name), termination by name, up to 3 s of
// tests, then "taskkill /F /im <name> /F" and up to 3 s more. killerName is who reports it in the
// records ("KVLBTessarionMonitor.exe" for the monitor, "TessarionWorker" for the worker). True
// when no process of that name is left.
bool killProgramAs(const char* killerName, const char* inputTo);
// The monitor's form: ends the service.
bool killMainProgram();

// ReleaseMutex and CloseHandle of a handle from getMutexLock; NULL is ignored.
void releaseMutexLock(HANDLE mutex);

// The code page of the monitor's narrow and wide conversions (65001 until the monitor sets it).
extern std::atomic<UINT> codePage;

// Appends into a 512-byte buffer, within the room left; always terminated.
void appendBounded(char* buffer, const char* text);
// A new wide text with every occurrence of from replaced by to (NULL on bad input); freed by the
// caller.
wchar_t* replaceAllWide(const wchar_t* text, const wchar_t* from, const wchar_t* to);
// The message and a wide value at level 5, untagged, whether or not logging is on.
void logPlainWide(const char* message, const wchar_t* value);
// Writes the text in text mode (line ends become CR LF); false for a NULL or empty path, a NULL
// text or an open failure.
bool writeTextFile(const wchar_t* path, const char* text);
// Local time as "YYYY-MM-DD hh-mm-ss" in a new 64-byte text; "Unknow time" when unavailable.
char* localTimeText();
// The user's desktop folder as a new wide text, or NULL.
wchar_t* getDesktopFolder();
// Creates every folder level of a path: the text before each backslash or slash.
void makeFolderLevels(const wchar_t* path);
// True when the path ends in "DisplayName.txt" (case-sensitive).
bool isDisplayNameFile(const char* path);
