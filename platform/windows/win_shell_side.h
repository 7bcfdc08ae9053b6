// The shell facilities the system code uses beyond the Windows API, in the Windows build.
#pragma once

#include <windows.h>
#include <shellapi.h>

// The tray record of the Vista layout, which the monitor hands over whole.
#define NOTIFYICONDATAW_VISTA_SIZE 956u
static_assert(sizeof(void*) != 4 || sizeof(NOTIFYICONDATAW) == NOTIFYICONDATAW_VISTA_SIZE,
              "the tray record must have the Vista layout (build for Windows Vista headers)");

// Saves a bitmap as a PNG file (GDI+'s PNG encoder). S_OK, or E_INVALIDARG / E_FAIL.
HRESULT SaveBitmapAsPngW(HBITMAP bitmap, LPCWSTR path);

// The C runtime's setlocale, which names locales the Windows way already.
const char* winSetlocale(int category, const char* locale);
