// The few facilities the system code uses beyond the Windows API, as the Windows build gives
// them: each is a line or two over the C runtime and Win32. The Linux build's emulation offers
// the same names (platform/posix/).
#pragma once

#include <cstdio>
#include <ctime>

namespace platform {
// Called first thing in main(). Windows hands a program its command line and machine itself,
// so there is nothing to set up here.
void initProgram(int argc, char** argv);
}  // namespace platform

// Big5 (Traditional Chinese), a code page the Windows headers give no name.
#define CP_BIG5 950u

// stdio on a Windows path given as UTF-8.
FILE* winFopen(const char* path, const char* mode);
// Calendar time and broken-down local time, from the C runtime.
time_t winTime(time_t* out);
bool winLocalTime(time_t t, struct tm* out);
