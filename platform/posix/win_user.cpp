// The Windows API of desktop windows and messages, over the registry of windows
// (user_windows.cpp) and the thread queues and their delivery (user_messages.cpp).
#include "platform/win_user.h"

#include "platform/root.h"
#include "platform/posix/win_internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

using namespace platform::desktop;

namespace {

std::wstring lowered(const std::wstring& a) {
    std::wstring out(a);
    for (auto& c : out) c = asciiLower(c);
    return out;
}

std::wstring wideOrEmpty(LPCWSTR s) {
    return s ? std::wstring(s) : std::wstring();
}

std::vector<HWND> topLevelWindows() {
    std::vector<HWND> out;
    Registry reg(false);
    for (auto& e : reg.windows)
        if (!(e.style & WS_CHILD)) out.push_back((HWND)e.hwnd);
    return out;
}

bool matches(const Entry& e, LPCWSTR cls, LPCWSTR title) {
    if (cls && !platform::iequals(e.cls, cls)) return false;
    if (title && !platform::iequals(e.title, title)) return false;
    return true;
}

// Gives a new window its handle and enters it in this process's table and on the desktop (newest
// first).
HWND addWindow(const LocalClass& cls, const std::shared_ptr<ThreadQueue>& q, DWORD exStyle, DWORD style,
               HWND parent, LPCWSTR windowName) {
    std::string root = platform::rootDir();
    uintptr_t h;
    Registry reg(true);
    {
        std::lock_guard<std::mutex> l(g_lock);
        do {
            h = reg.nextHandle;
            reg.nextHandle += 2;
            if (reg.nextHandle > 0x7FFFFFF0u) reg.nextHandle = 0x10010;
        } while (g_windows.count(h) || reg.find(h));
        LocalWindow lw;
        lw.cls = cls.name;
        lw.proc = cls.proc;
        lw.queue = q;
        lw.root = root;
        g_windows[h] = lw;
    }
    Entry e;
    e.hwnd = h;
    e.pid = getpid();
    e.start = ownStart();
    e.tid = q->tid;
    e.parent = (uintptr_t)parent;
    e.style = style;
    e.exStyle = exStyle & WS_EX_TOPMOST;
    e.cls = cls.name;
    e.title = wideOrEmpty(windowName);
    reg.windows.insert(reg.windows.begin(), e);
    reg.touch();
    return (HWND)h;
}

}  // namespace

// ==== classes and windows ====================================================================

ATOM RegisterClassW(const WNDCLASSW* wc) {
    if (!wc || !wc->lpszClassName || !wc->lpszClassName[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> l(g_lock);
    std::wstring key = lowered(wc->lpszClassName);
    if (g_classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    LocalClass c;
    c.name = wc->lpszClassName;
    c.proc = wc->lpfnWndProc;
    c.instance = wc->hInstance;
    g_classes[key] = c;
    static std::atomic<unsigned> atoms{0xC100};
    return (ATOM)(atoms++ & 0xFFFF);
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> l(g_lock);
    std::wstring key = lowered(className);
    auto it = g_classes.find(key);
    if (it == g_classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    std::string root = platform::rootDir();
    for (auto& [h, w] : g_windows) {
        if (w.root == root && lowered(w.cls) == key) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    g_classes.erase(it);
    return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    LocalClass cls;
    {
        std::lock_guard<std::mutex> l(g_lock);
        auto it = className ? g_classes.find(lowered(className)) : g_classes.end();
        if (it == g_classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        cls = it->second;
    }
    if ((style & WS_CHILD) && !IsWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (!ensureListener()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto q = myQueue();
    HWND hwnd = addWindow(cls, q, exStyle, style, parent, windowName);
    CREATESTRUCTW cs{};
    cs.lpCreateParams = param;
    cs.hInstance = instance;
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cx = width;
    cs.cy = height;
    cs.x = x;
    cs.y = y;
    cs.style = (LONG)style;
    cs.lpszName = windowName;
    cs.lpszClass = className;
    cs.dwExStyle = exStyle;
    if (!callProc(hwnd, cls.proc, WM_NCCREATE, 0, (LPARAM)&cs) ||
        callProc(hwnd, cls.proc, WM_CREATE, 0, (LPARAM)&cs) == -1) {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        return nullptr;
    }
    return hwnd;
}

BOOL IsWindow(HWND window) {
    Entry e;
    return readEntry(window, &e) ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND window) {
    LocalWindow lw;
    if (!localWindow(window, &lw)) {
        SetLastError(IsWindow(window) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (lw.queue != myQueue()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> l(g_lock);
        auto it = g_windows.find((uintptr_t)window);
        if (it == g_windows.end() || it->second.destroying) return TRUE;
        it->second.destroying = true;
    }
    callProc(window, lw.proc, WM_DESTROY, 0, 0);
    // children go with their parent
    std::vector<HWND> children;
    {
        Registry reg(false);
        for (auto& e : reg.windows)
            if (e.parent == (uintptr_t)window && (e.style & WS_CHILD)) children.push_back((HWND)e.hwnd);
    }
    for (HWND c : children) DestroyWindow(c);
    callProc(window, lw.proc, WM_NCDESTROY, 0, 0);
    {
        Registry reg(true);
        reg.remove((uintptr_t)window);
    }
    std::lock_guard<std::mutex> l(g_lock);
    g_windows.erase((uintptr_t)window);
    return TRUE;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM lParam) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_SETTEXT:
            return SetWindowTextW(window, (LPCWSTR)lParam);
        default:
            return 0;
    }
}

// ==== message queues =========================================================================

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (window && window != (HWND)(intptr_t)-1 && !localWindow(window, nullptr)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    return takeMessage(msg, window, filterMin, filterMax, true, true);
}

BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
    int r = takeMessage(msg, window, filterMin, filterMax, false, (removeFlags & PM_REMOVE) != 0);
    return r >= 0 ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}  // no keyboard here, so nothing to translate

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;
    LocalWindow lw;
    if (!localWindow(msg->hwnd, &lw) || lw.queue != myQueue()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return callProc(msg->hwnd, lw.proc, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT ignored;
    if (!window) return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
    if (window == HWND_BROADCAST) {
        for (HWND h : topLevelWindows()) deliver(h, message, wParam, lParam, true, -1, &ignored);
        return TRUE;
    }
    if (!localWindow(window, nullptr) && pointerMessage(message)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (deliver(window, message, wParam, lParam, true, -1, &ignored) != Outcome::Ok) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> target;
    if (threadId == GetCurrentThreadId()) {
        target = myQueue();
    } else {
        std::lock_guard<std::mutex> l(g_lock);
        for (auto& q : g_queues)
            if (q->tid == threadId) target = q;
    }
    if (!target) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    std::lock_guard<std::mutex> l(target->m);
    if (!target->alive) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    MSG m{};
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    target->posted.push_back(m);
    target->wake();
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    auto q = myQueue();
    std::lock_guard<std::mutex> l(q->m);
    q->quit = true;
    q->quitCode = exitCode;
    q->wake();
}

LRESULT SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT, UINT timeoutMs,
                            DWORD_PTR* result) {
    LRESULT r = 0;
    int64_t deadline = timeoutMs == INFINITE ? -1 : monoMs() + timeoutMs;
    if (window == HWND_BROADCAST) {
        for (HWND h : topLevelWindows()) {
            int64_t each = timeoutMs == INFINITE ? -1 : monoMs() + timeoutMs;
            deliver(h, message, wParam, lParam, false, each, &r);
        }
        if (result) *result = 0;
        return TRUE;
    }
    Outcome o = deliver(window, message, wParam, lParam, false, deadline, &r);
    if (result) *result = (DWORD_PTR)r;
    if (o == Outcome::Ok) return TRUE;
    SetLastError(o == Outcome::Timeout ? ERROR_TIMEOUT : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT r = 0;
    if (window == HWND_BROADCAST) {
        for (HWND h : topLevelWindows()) deliver(h, message, wParam, lParam, false, -1, &r);
        return 0;
    }
    if (deliver(window, message, wParam, lParam, false, -1, &r) != Outcome::Ok) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return r;
}

UINT RegisterWindowMessageW(LPCWSTR name) {
    if (!name || !name[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Registry reg(true);
    UINT highest = 0xBFFF;
    for (auto& [n, text] : reg.messages) {
        if (platform::iequals(text, name)) return n;
        highest = std::max(highest, n);
    }
    if (highest >= 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    reg.messages.emplace_back(highest + 1, name);
    reg.touch();
    return highest + 1;
}

// ==== finding and reading windows ============================================================

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    return FindWindowExW(nullptr, nullptr, className, windowName);
}

HWND FindWindowExW(HWND parent, HWND childAfter, LPCWSTR className, LPCWSTR windowName) {
    if (parent == HWND_MESSAGE) return nullptr;  // no message-only windows on this desktop
    Registry reg(false);
    bool started = childAfter == nullptr;
    for (auto& e : reg.windows) {
        bool child = (e.style & WS_CHILD) != 0;
        bool inScope = parent ? (child && e.parent == (uintptr_t)parent) : !child;
        if (!inScope) continue;
        if (!started) {
            if (e.hwnd == (uintptr_t)childAfter) started = true;
            continue;
        }
        if (matches(e, className, windowName)) return (HWND)e.hwnd;
    }
    return nullptr;
}

BOOL EnumWindows(WNDENUMPROC proc, LPARAM param) {
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // a snapshot, so the callback may create, destroy or move windows
    for (HWND h : topLevelWindows())
        if (!proc(h, param)) return FALSE;
    return TRUE;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM param) {
    if (!parent) return EnumWindows(proc, param);
    if (!proc) return FALSE;
    std::vector<HWND> found;
    {
        Registry reg(false);
        std::vector<uintptr_t> frontier{(uintptr_t)parent};
        while (!frontier.empty()) {
            uintptr_t p = frontier.back();
            frontier.pop_back();
            for (auto& e : reg.windows) {
                if ((e.style & WS_CHILD) && e.parent == p) {
                    found.push_back((HWND)e.hwnd);
                    frontier.push_back(e.hwnd);
                }
            }
        }
    }
    for (HWND h : found)
        if (!proc(h, param)) break;
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        if (processId) *processId = 0;
        return 0;
    }
    if (processId) *processId = (DWORD)e.pid;
    return e.tid;
}

int GetWindowTextW(HWND window, LPWSTR text, int maxCount) {
    if (!text || maxCount <= 0) return 0;
    text[0] = 0;
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    int n = (int)std::min<size_t>(e.title.size(), (size_t)maxCount - 1);
    wmemcpy(text, e.title.data(), (size_t)n);
    text[n] = 0;
    return n;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    Registry reg(true);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    e->title = wideOrEmpty(text);
    reg.touch();
    return TRUE;
}

int GetClassNameW(HWND window, LPWSTR className, int maxCount) {
    if (!className || maxCount <= 0) return 0;
    className[0] = 0;
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    int n = (int)std::min<size_t>(e.cls.size(), (size_t)maxCount - 1);
    wmemcpy(className, e.cls.data(), (size_t)n);
    className[n] = 0;
    return n;
}

HWND GetParent(HWND window) {
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return (HWND)e.parent;
}

LONG GetWindowLongW(HWND window, int index) {
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (index == GWL_STYLE) return (LONG)e.style;
    if (index == GWL_EXSTYLE) return (LONG)e.exStyle;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

BOOL SetWindowPos(HWND window, HWND insertAfter, int, int, int, int, UINT flags) {
    Registry reg(true);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!(flags & SWP_NOZORDER)) {
        if (insertAfter == HWND_TOPMOST)
            e->exStyle |= WS_EX_TOPMOST;
        else if (insertAfter == HWND_NOTOPMOST)
            e->exStyle &= ~WS_EX_TOPMOST;
    }
    if (flags & SWP_SHOWWINDOW) e->style |= WS_VISIBLE;
    if (flags & SWP_HIDEWINDOW) e->style &= ~WS_VISIBLE;
    reg.touch();
    return TRUE;
}

// ==== session notifications ==================================================================

static BOOL setNotify(HWND window, int on) {
    Registry reg(true);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    e->notify = on;
    reg.touch();
    return TRUE;
}

BOOL WTSRegisterSessionNotification(HWND window, DWORD) {
    return setNotify(window, 1);
}

namespace platform {

int listDesktopWindows(DesktopWindow* out, int capacity) {
    Registry reg(false);
    int n = 0;
    for (auto& e : reg.windows) {
        if (n >= capacity) break;
        DesktopWindow& d = out[n++];
        memset(&d, 0, sizeof d);
        d.window = (HWND)e.hwnd;
        d.processId = (DWORD)e.pid;
        d.threadId = e.tid;
        d.parent = (HWND)e.parent;
        d.style = e.style;
        d.exStyle = e.exStyle;
        d.sessionNotify = e.notify != 0;
        wcsncpy(d.className, e.cls.c_str(), 255);
        wcsncpy(d.title, e.title.c_str(), 511);
    }
    return n;
}

}  // namespace platform
