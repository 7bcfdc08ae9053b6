// Finding and ending processes by image name, the escalating kill the monitor and the worker
// share, and the release of a per-user mutex. Above ipc/: the kill first asks the program itself
// to end through its channel.
#pragma once
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

// ReleaseMutex and CloseHandle of a handle from getMutexLock; NULL is ignored.
void releaseMutexLock(HANDLE mutex);
