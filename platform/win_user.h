// Windows desktop windows, messages and session notifications: the Windows API in the Windows
// build, the POSIX emulation in platform/posix/ in the Linux build.
#pragma once

#ifdef _WIN32
#include "platform/win_base.h"
#include <wtsapi32.h>
#else
#include "platform/posix/win_user.h"
#endif
