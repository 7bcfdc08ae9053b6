// Process-wide values of the service, set once at start-up before any daemon runs.
#pragma once
#include <atomic>
#include "platform/win_base.h"

// Version of the service as pages see it in "ServerVersion" and in the version file.
#define TESSARION_SERVER_VERSION "1.0.21.0630"

extern wchar_t copyPath[MAX_PATH];       // C:\ProgramData\KVLBTessarion
extern wchar_t dataFolder[MAX_PATH];     // C:\ProgramData\KVLBTessarionMain
extern wchar_t programFolder[MAX_PATH];  // folder of the running executable
extern DWORD ownProcessId;
// 1 ends the main loop; set by TessarionFinal and by a session lock or disconnect.
extern unsigned char stopFlag;
