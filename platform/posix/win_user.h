// Windows desktop windows and messages on POSIX: top-level windows shared by every process of
// the machine root, per-thread message queues, SendMessage across processes, WM_COPYDATA,
// registered window messages and session-change notifications.
//
// How the desktop is kept: <root>/desktop/windows lists every window of the root (handle, owning
// process with its start time, thread, parent, styles, session-notification flag, class, title),
// <root>/desktop/messages the registered message names; both are read and rewritten under an
// flock on <root>/desktop/lock. A window whose process has ended (or is a zombie) is left out
// when the list is read, so it is gone for everybody at once.
//
// How messages cross: every process with windows listens on <root>/desktop/p<pid>. A post or send
// to a window of another process connects there and hands over the message (with the bytes of a
// WM_COPYDATA); the receiving process queues it for the window's thread, which runs it inside its
// own GetMessage, PeekMessage or SendMessage wait, and the answer goes back on the same
// connection. A sender waiting for an answer still runs the sends made to its own windows. When
// the receiving process ends, the connection closes and the send fails instead of hanging.
#pragma once

#include "platform/win_base.h"

// ---- types ---------------------------------------------------------------------------------
typedef struct HWND__* HWND;
typedef struct HICON__* HICON;
typedef struct HMENU__* HMENU;
typedef HICON HCURSOR;
typedef struct HBRUSH__* HBRUSH;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef void* PVOID;
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef BOOL(CALLBACK* WNDENUMPROC)(HWND, LPARAM);

typedef struct POINT {
    LONG x, y;
} POINT, *LPPOINT;
typedef struct RECT {
    LONG left, top, right, bottom;
} RECT, *LPRECT;

typedef struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW, *LPWNDCLASSW;

typedef struct CREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy, cx, y, x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW, *LPCREATESTRUCTW;

typedef struct COPYDATASTRUCT {
    ULONG_PTR dwData;
    DWORD cbData;
    PVOID lpData;
} COPYDATASTRUCT, *PCOPYDATASTRUCT;

// ---- messages ------------------------------------------------------------------------------
#define WM_NULL 0x0000u
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_MOVE 0x0003u
#define WM_SIZE 0x0005u
#define WM_ACTIVATE 0x0006u
#define WM_SETFOCUS 0x0007u
#define WM_KILLFOCUS 0x0008u
#define WM_SETTEXT 0x000Cu
#define WM_GETTEXT 0x000Du
#define WM_GETTEXTLENGTH 0x000Eu
#define WM_PAINT 0x000Fu
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_SHOWWINDOW 0x0018u
#define WM_COPYDATA 0x004Au
#define WM_CONTEXTMENU 0x007Bu
#define WM_NCCREATE 0x0081u
#define WM_NCDESTROY 0x0082u
#define WM_KEYDOWN 0x0100u
#define WM_KEYUP 0x0101u
#define WM_CHAR 0x0102u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_SYSCOMMAND 0x0112u
#define WM_TIMER 0x0113u
#define WM_MOUSEMOVE 0x0200u
#define WM_LBUTTONDOWN 0x0201u
#define WM_LBUTTONUP 0x0202u
#define WM_LBUTTONDBLCLK 0x0203u
#define WM_RBUTTONDOWN 0x0204u
#define WM_RBUTTONUP 0x0205u
#define WM_RBUTTONDBLCLK 0x0206u
#define WM_WTSSESSION_CHANGE 0x02B1u
#define WM_USER 0x0400u
#define WM_APP 0x8000u

// ---- window styles, special handles, SetWindowPos ------------------------------------------
#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_EX_TOPMOST 0x00000008u
#define CW_USEDEFAULT ((int)0x80000000)

#define HWND_BROADCAST ((HWND)(intptr_t)0xffff)
#define HWND_MESSAGE ((HWND)(intptr_t)-3)
#define HWND_TOP ((HWND)(intptr_t)0)
#define HWND_BOTTOM ((HWND)(intptr_t)1)
#define HWND_TOPMOST ((HWND)(intptr_t)-1)
#define HWND_NOTOPMOST ((HWND)(intptr_t)-2)

#define SWP_NOSIZE 0x0001u
#define SWP_NOMOVE 0x0002u
#define SWP_NOZORDER 0x0004u
#define SWP_NOREDRAW 0x0008u
#define SWP_NOACTIVATE 0x0010u
#define SWP_SHOWWINDOW 0x0040u
#define SWP_HIDEWINDOW 0x0080u

#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)

// PeekMessage
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

// SendMessageTimeout
#define SMTO_NORMAL 0x0000u
#define SMTO_BLOCK 0x0001u
#define SMTO_ABORTIFHUNG 0x0002u

// ---- errors of this facility ---------------------------------------------------------------
#define ERROR_TIMEOUT 1460u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_CLASS_ALREADY_EXISTS 1410u
#define ERROR_CLASS_DOES_NOT_EXIST 1411u
#define ERROR_CLASS_HAS_WINDOWS 1412u
#define ERROR_INVALID_THREAD_ID 1444u
#define ERROR_CANNOT_FIND_WND_CLASS 1407u

// ---- session notifications -----------------------------------------------------------------
#define WTS_CONSOLE_CONNECT 0x1
#define WTS_CONSOLE_DISCONNECT 0x2
#define WTS_REMOTE_CONNECT 0x3
#define WTS_REMOTE_DISCONNECT 0x4
#define WTS_SESSION_LOGON 0x5
#define WTS_SESSION_LOGOFF 0x6
#define WTS_SESSION_LOCK 0x7
#define WTS_SESSION_UNLOCK 0x8
#define WTS_SESSION_REMOTE_CONTROL 0x9
#define NOTIFY_FOR_THIS_SESSION 0
#define NOTIFY_FOR_ALL_SESSIONS 1

// ---- classes and windows -------------------------------------------------------------------
// Classes belong to the registering process (names compared without regard to case); windows are
// seen by every process of the root.
ATOM RegisterClassW(const WNDCLASSW* wc);
BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);  // fails while windows of it exist
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND window);  // only the owning thread may destroy a window
BOOL IsWindow(HWND window);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---- message queues ------------------------------------------------------------------------
// Sent messages waiting for the calling thread are handled inside GetMessageW, PeekMessageW and
// while the thread itself waits in SendMessageW, as Windows does.
BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);  // 0 on WM_QUIT, -1 on error
BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Synchronous, also across processes. A window of a process that died fails at once (result 0,
// ERROR_INVALID_WINDOW_HANDLE). WM_COPYDATA carries the bytes of its COPYDATASTRUCT.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeoutMs, DWORD_PTR* result);
UINT RegisterWindowMessageW(LPCWSTR name);  // the same number from 0xC000 up in every process of the root

// ---- finding and reading windows -----------------------------------------------------------
// NULL class or title matches any; both compared without regard to case, as Windows does.
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);
HWND FindWindowExW(HWND parent, HWND childAfter, LPCWSTR className, LPCWSTR windowName);
BOOL EnumWindows(WNDENUMPROC proc, LPARAM param);  // top-level windows, newest first
BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM param);
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);
int GetWindowTextW(HWND window, LPWSTR text, int maxCount);
BOOL SetWindowTextW(HWND window, LPCWSTR text);
int GetClassNameW(HWND window, LPWSTR className, int maxCount);
HWND GetParent(HWND window);
LONG GetWindowLongW(HWND window, int index);  // GWL_STYLE and GWL_EXSTYLE
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);

// ---- session notifications -----------------------------------------------------------------
BOOL WTSRegisterSessionNotification(HWND window, DWORD flags);

namespace platform {

// What the desktop driver and tests read of a window.
struct DesktopWindow {
    HWND window;
    DWORD processId;
    DWORD threadId;
    HWND parent;
    DWORD style;
    DWORD exStyle;  // WS_EX_TOPMOST when top-most
    bool sessionNotify;
    wchar_t className[256];
    wchar_t title[512];
};

// Every living window of the root's desktop, newest first (children included).
int listDesktopWindows(DesktopWindow* out, int capacity);

}  // namespace platform
