// Windows desktop windows, messages and session notifications: the Windows API in the Windows
// build, the POSIX emulation in platform/posix/ in the Linux build.
#pragma once

#ifdef _WIN32
#include "platform/win_base.h"
#include <wtsapi32.h>

namespace platform {
// Windows XP has session notifications, but the function's documentation names Windows Vista as
// its first version: it is taken from wtsapi32.dll at run time, so the programs load on every
// version, and where it is missing they go without the session notices.
inline BOOL registerSessionNotification(HWND window, DWORD flags) {
    using Register = BOOL(WINAPI*)(HWND, DWORD);
    static const Register registerNotification = [] {
        HMODULE library = LoadLibraryW(L"wtsapi32.dll");
        FARPROC found = library ? GetProcAddress(library, "WTSRegisterSessionNotification") : nullptr;
        return reinterpret_cast<Register>(reinterpret_cast<void*>(found));
    }();
    return registerNotification ? registerNotification(window, flags) : FALSE;
}
}  // namespace platform
#define WTSRegisterSessionNotification platform::registerSessionNotification
#else
#include "platform/posix/win_user.h"
#endif
