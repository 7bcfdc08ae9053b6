// The top-most window watcher: while an adapter call runs, windows that appear (of the service,
// or of every process) are put on top of all others; windows open before the call are left alone.
#pragma once
#include "platform/win_user.h"

void startTopUi(DWORD processId, bool allWindows);
void stopTopUi();
BOOL CALLBACK topUiEnumProc(HWND window, LPARAM parameter);
void* topUiThread(void* parameter);

// Room of the window list; it starts at 256 and keeps any growth for later runs.
size_t topUiCapacity();
