// The shell and user-interface half of the desktop on POSIX: the tray (notification icons, tips,
// balloons), popup menus, message boxes, icon resources, key state and cursor, the foreground
// window, the desktop folder, the primary screen's pixels with PNG files, and the C runtime's
// locale names as Windows gives them.
//
// Linux has no tray, menus or message boxes of this kind, so their state lives under
// <root>/desktop/shell, where the desktop driver (kvlbdesktop) reads it and acts on it the way a
// user would: clicking the tray icon, choosing a menu item, closing a box, pressing keys.
#pragma once

#include <string>
#include <vector>

#include "platform/win_com.h"
#include "platform/win_user.h"

// ---- resources and icons -------------------------------------------------------------------
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)((WORD)(i)))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#define ERROR_INVALID_ICON_HANDLE 1402u
#define ERROR_INVALID_MENU_HANDLE 1401u
// A program's numbered icon resource (1 to 65535); named resources are not offered here.
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
BOOL DestroyIcon(HICON icon);

// ---- notification icons --------------------------------------------------------------------
#define NIM_ADD 0x00000000u
#define NIM_MODIFY 0x00000001u
#define NIM_DELETE 0x00000002u
#define NIF_MESSAGE 0x00000001u
#define NIF_ICON 0x00000002u
#define NIF_TIP 0x00000004u
#define NIF_STATE 0x00000008u
#define NIF_INFO 0x00000010u
#define NIS_HIDDEN 0x00000001u
#define NIIF_NONE 0x00000000u
#define NIIF_INFO 0x00000001u
#define NIIF_WARNING 0x00000002u
#define NIIF_ERROR 0x00000003u
typedef struct NOTIFYICONDATAW {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    HICON hBalloonIcon;
} NOTIFYICONDATAW, *PNOTIFYICONDATAW;
// The byte count the Vista layout has on 32-bit Windows; cbSize is kept as the caller gives it.
#define NOTIFYICONDATAW_VISTA_SIZE 956u
// Icons are keyed by owner window and identifier. A tray click arrives at the owner as its
// callback message, wParam the identifier and lParam the mouse message. A non-empty szInfo with
// NIF_INFO shows a balloon; an empty one takes the shown balloon down.
BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data);

// ---- popup menus ---------------------------------------------------------------------------
#define MF_STRING 0x00000000u
#define MF_GRAYED 0x00000001u
#define MF_DISABLED 0x00000002u
#define MF_CHECKED 0x00000008u
#define MF_POPUP 0x00000010u
#define MF_SEPARATOR 0x00000800u
#define TPM_LEFTALIGN 0x0000u
#define TPM_CENTERALIGN 0x0004u
#define TPM_RIGHTALIGN 0x0008u
#define TPM_RETURNCMD 0x0100u
HMENU CreatePopupMenu(void);
// With MF_POPUP the identifier is the submenu's handle, which then belongs to this menu.
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR idNewItem, LPCWSTR text);
BOOL DestroyMenu(HMENU menu);
// Modal: shows the menu on the desktop and handles the thread's messages until the user (the
// driver) chooses an item or dismisses the menu. The chosen item is posted to the owner as
// WM_COMMAND (identifier in the low word of wParam), or returned with TPM_RETURNCMD.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT* rect);

// ---- message boxes -------------------------------------------------------------------------
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ICONINFORMATION 0x00000040u
#define MB_USERICON 0x00000080u
#define MB_SETFOREGROUND 0x00010000u
#define MB_TOPMOST 0x00040000u
#define IDOK 1
#define IDCANCEL 2
typedef void (*MSGBOXCALLBACK)(void* helpInfo);
typedef struct MSGBOXPARAMSW {
    UINT cbSize;
    HWND hwndOwner;
    HINSTANCE hInstance;
    LPCWSTR lpszText;
    LPCWSTR lpszCaption;
    DWORD dwStyle;
    LPCWSTR lpszIcon;
    DWORD_PTR dwContextHelpId;
    MSGBOXCALLBACK lpfnMsgBoxCallback;
    DWORD dwLanguageId;
} MSGBOXPARAMSW, *PMSGBOXPARAMSW;
// A top-level window of the class "#32770" titled with the caption, whose text the driver reads;
// a modal loop on the calling thread until OK (WM_COMMAND IDOK), Cancel or WM_CLOSE. Returns the
// button (IDOK; IDCANCEL for Cancel or a close of a box that has Cancel), 0 on failure.
int MessageBoxIndirectW(const MSGBOXPARAMSW* params);

// ---- keyboard, cursor, foreground ----------------------------------------------------------
#define VK_LBUTTON 0x01
#define VK_RBUTTON 0x02
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_PRINT 0x2A
#define VK_SNAPSHOT 0x2C
#define VK_F1 0x70
// Negative while the key is down (the high bit of the SHORT).
short GetKeyState(int virtualKey);
BOOL GetCursorPos(LPPOINT point);
BOOL SetForegroundWindow(HWND window);
// Windows are never drawn here, so a client area is empty.
BOOL GetClientRect(HWND window, LPRECT rect);

// ---- shell folders -------------------------------------------------------------------------
BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);
BOOL SHGetSpecialFolderPathA(HWND owner, LPSTR path, int csidl, BOOL create);  // UTF-8 here

// ---- the screen and bitmaps ----------------------------------------------------------------
typedef struct HDC__* HDC;
typedef struct HBITMAP__* HBITMAP;
typedef void* HGDIOBJ;
#define HORZRES 8
#define VERTRES 10
#define SRCCOPY 0x00CC0020u
// The primary screen: the X display's size is not used; the root setting "screen" ("1024x768"
// by default) gives it, and its pixels are black unless the root holds <root>/desktop/screen.rgb
// (width * height * 3 bytes, rows from the top).
HDC CreateDCW(LPCWSTR driver, LPCWSTR device, LPCWSTR port, const void* devMode);
HDC GetDC(HWND window);  // NULL: the screen
int ReleaseDC(HWND window, HDC dc);
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
int GetDeviceCaps(HDC dc, int index);
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
BOOL DeleteObject(HGDIOBJ object);
BOOL BitBlt(HDC destination, int x, int y, int width, int height, HDC source, int sx, int sy, DWORD rop);
// Saves a bitmap as a PNG file at a Windows path (what an image object's Save does for a ".png"
// name). S_OK, or E_INVALIDARG / E_FAIL.
HRESULT SaveBitmapAsPngW(HBITMAP bitmap, LPCWSTR path);

// ---- the C runtime's locale ----------------------------------------------------------------
// setlocale as the Windows C runtime answers it: with "" the user's default locale, named the
// Windows way ("English_United States.1252", "Chinese (Traditional)_Taiwan.950",
// "Japanese_Japan.932"), mapped from the POSIX locale (LC_ALL, LC_CTYPE, LANG) or taken from the
// root setting "locale" (a POSIX name, or a Windows name used as it stands). The host's own C
// locale is left as it is. The returned text stays valid until the next call.
const char* winSetlocale(int category, const char* locale);

namespace platform {

// What the desktop driver reads and does (see kvlbdesktop): one tray icon.
struct TrayIcon {
    HWND owner;
    UINT id;
    UINT callbackMessage;
    DWORD processId;
    int iconResource;  // 0: no icon
    DWORD state;
    wchar_t tip[128];
};
int listTrayIcons(TrayIcon* out, int capacity);
// The balloons shown so far on this desktop, oldest first: "<owner>\t<id>\t<text>" lines (UTF-8).
std::string balloonLog();
// Explorer restarting: every tray icon is gone.
void clearTray();

// The open popup menu as lines "<depth>\t<id>\t<flags>\t<text>" (empty when none is open), and
// the choice of one item (0: dismiss). False when no menu is open or the item is not choosable.
std::string openMenuText();
bool chooseMenuItem(UINT id);

// Open message boxes: window, caption and text.
struct MessageBoxInfo {
    HWND window;
    DWORD processId;
    std::wstring caption;
    std::wstring text;
};
std::vector<MessageBoxInfo> listMessageBoxes();

// Key state of the desktop. tapKey presses a key, waits until a program has seen it down
// (GetKeyState) or the time is up, then releases it and waits until a program has seen it up,
// so that taps of one key in a row count one each; true when it was seen down.
void setKeyDown(int virtualKey, bool down);
bool tapKey(int virtualKey, DWORD timeoutMs);
void setCursorPos(int x, int y);

}  // namespace platform
