// A program's set-up, called first thing in main(). The Linux build's emulated machine (its root
// folder and settings, platform/posix/root.h) comes with it there.
#pragma once

#ifdef _WIN32
#include "platform/windows/win_side.h"
#else
#include "platform/posix/root.h"
#endif
