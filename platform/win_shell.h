// The tray, popup menus, message boxes, icons, the screen and the C runtime's locale names: the
// Windows API (with the thin side in platform/windows/) in the Windows build, the POSIX
// emulation in platform/posix/ in the Linux build.
#pragma once

#ifdef _WIN32
#include "platform/win_user.h"
#include <shellapi.h>

#include "platform/windows/win_shell_side.h"
#else
#include "platform/posix/win_shell.h"
#endif
