// The Windows kernel, shell-folder and C-runtime facilities the system code uses. The Windows
// build takes them from the Windows headers plus the thin side in platform/windows/; the Linux
// build from the POSIX emulation in platform/posix/.
#pragma once

#ifdef _WIN32
// winsock2.h ahead of windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <windows.h>
#include <ntsecapi.h>
#include <psapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include "platform/windows/win_side.h"
#else
#include "platform/posix/win_base.h"
#endif
