// Windows edition and processor width as one flag word. The numbers come from the file version of
// the system's kernel32.dll, since the version reported to a program may be held back.
#pragma once
#include "platform/win_base.h"

#define WINVER_XP 0x1u
#define WINVER_XP_X64 0x2u
#define WINVER_SERVER_2003 0x4u
#define WINVER_HOME_SERVER 0x8u
#define WINVER_SERVER_2003_R2 0x10u
#define WINVER_VISTA 0x20u
#define WINVER_SERVER_2008 0x40u
#define WINVER_SERVER_2008_R2 0x80u
#define WINVER_7 0x100u
#define WINVER_SERVER_2012 0x200u
#define WINVER_8 0x400u
#define WINVER_SERVER_2012_R2 0x800u
#define WINVER_8_1 0x1000u
#define WINVER_SERVER_2016 0x2000u
#define WINVER_10 0x4000u
#define WINVER_11 0x8000u
#define WINVER_32BIT 0x100000u
#define WINVER_64BIT 0x200000u

bool getKernel32Version(DWORD* major, DWORD* minor, DWORD* build);
// One edition bit plus one width bit, or 0 when the version is unknown.
DWORD getWindowsVersionFlags();
// Name of the lowest edition bit set ("Windows10"), or "UnknowOS"; a new text the caller frees.
char* getWindowsName(DWORD flags);

// The decision itself, from the numbers the system reports (serverR2: the SM_SERVERR2 metric).
DWORD classifyWindowsVersion(DWORD major, DWORD minor, DWORD build, BYTE productType, WORD suiteMask,
                             WORD processorArchitecture, int serverR2);
