// Tray icons, balloons, popup menus, message boxes, icon handles, key state, cursor and
// foreground window. Process-local objects (icons, menus) live in tables here; what the user
// sees lives in small files under <root>/desktop/shell, each rewritten under one flock, so the
// desktop driver can read it and answer as the user.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/posix/win_internal.h"
#include "platform/win_shell.h"

namespace {

std::string shellDir() {
    std::string dir = platform::rootDir() + "/desktop";
    mkdir(dir.c_str(), 0777);
    dir += "/shell";
    mkdir(dir.c_str(), 0777);
    return dir;
}

// Holds the shell state's lock for one read-modify-write.
class ShellLock {
  public:
    ShellLock() {
        fd_ = open((shellDir() + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~ShellLock() {
        if (fd_ >= 0) close(fd_);
    }
    ShellLock(const ShellLock&) = delete;
    ShellLock& operator=(const ShellLock&) = delete;

  private:
    int fd_ = -1;
};

// Whole-file replace, so a reader never sees half a file.
bool writeFile(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << text;
        if (!out) return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}

std::wstring unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return platform::fromUtf8(out);
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return parts;
        start = tab + 1;
    }
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

unsigned long long number(const std::string& text) {
    return strtoull(text.c_str(), nullptr, 0);
}

std::string hexHandle(const void* h) {
    char b[32];
    snprintf(b, sizeof b, "0x%llx", (unsigned long long)(uintptr_t)h);
    return b;
}

std::wstring boundedWide(const wchar_t* text, size_t capacity) {
    size_t n = 0;
    while (n + 1 < capacity && text[n]) ++n;
    return std::wstring(text, n);
}

// ---- icons -----------------------------------------------------------------------------------

std::mutex g_iconLock;
// handle -> resource number
std::map<uintptr_t, int>& g_icons = platform::keptState<std::map<uintptr_t, int>>();
uintptr_t g_nextIcon = 0x10000;

int iconResource(HICON icon) {
    std::lock_guard<std::mutex> l(g_iconLock);
    auto it = g_icons.find((uintptr_t)icon);
    return it == g_icons.end() ? 0 : it->second;
}

// ---- tray --------------------------------------------------------------------------------------

std::vector<platform::TrayIcon> loadTray() {
    std::vector<platform::TrayIcon> icons;
    for (auto& line : lines(platform::readFile(shellDir() + "/tray"))) {
        auto p = splitTabs(line);
        if (p.size() < 7) continue;
        platform::TrayIcon t{};
        t.owner = (HWND)(uintptr_t)number(p[0]);
        t.id = (UINT)number(p[1]);
        t.callbackMessage = (UINT)number(p[2]);
        t.processId = (DWORD)number(p[3]);
        t.iconResource = (int)number(p[4]);
        t.state = (DWORD)number(p[5]);
        std::wstring tip = unescape(p[6]);
        wcsncpy(t.tip, tip.c_str(), 127);
        t.tip[127] = 0;
        icons.push_back(t);
    }
    return icons;
}

bool saveTray(const std::vector<platform::TrayIcon>& icons) {
    std::string text;
    for (auto& t : icons) {
        text += hexHandle(t.owner) + "\t" + std::to_string(t.id) + "\t" + std::to_string(t.callbackMessage) +
                "\t" + std::to_string(t.processId) + "\t" + std::to_string(t.iconResource) + "\t" +
                std::to_string(t.state) + "\t" + platform::escapeField(t.tip) + "\n";
    }
    return writeFile(shellDir() + "/tray", text);
}

void applyIconData(platform::TrayIcon& t, const NOTIFYICONDATAW& d) {
    if (d.uFlags & NIF_MESSAGE) t.callbackMessage = d.uCallbackMessage;
    if (d.uFlags & NIF_ICON) t.iconResource = d.hIcon ? iconResource(d.hIcon) : 0;
    if (d.uFlags & NIF_TIP) {
        std::wstring tip = boundedWide(d.szTip, 128);
        wcsncpy(t.tip, tip.c_str(), 127);
        t.tip[127] = 0;
    }
    if (d.uFlags & NIF_STATE) t.state = (t.state & ~d.dwStateMask) | (d.dwState & d.dwStateMask);
}

void noteBalloon(const NOTIFYICONDATAW& d) {
    if (!(d.uFlags & NIF_INFO)) return;
    std::wstring text = boundedWide(d.szInfo, 256);
    std::string path = shellDir() + "/balloons";
    if (text.empty()) {
        // the shown balloon is taken down; the log keeps every balloon that was shown
        writeFile(shellDir() + "/balloon-shown", "");
        return;
    }
    std::string line =
        hexHandle(d.hWnd) + "\t" + std::to_string(d.uID) + "\t" + platform::escapeField(text) + "\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
        close(fd);
    }
    writeFile(shellDir() + "/balloon-shown", line);
}

// ---- menus -------------------------------------------------------------------------------------

struct MenuItem {
    UINT flags;
    UINT_PTR id;
    std::wstring text;
};
struct Menu {
    std::vector<MenuItem> items;
};
std::mutex g_menuLock;
std::map<HMENU, std::unique_ptr<Menu>>& g_menus =
    platform::keptState<std::map<HMENU, std::unique_ptr<Menu>>>();
uintptr_t g_nextMenu = 0x20000;
unsigned g_menuToken = 0;

void destroyMenuLocked(HMENU menu) {
    auto it = g_menus.find(menu);
    if (it == g_menus.end()) return;
    std::vector<HMENU> subs;
    for (auto& item : it->second->items)
        if (item.flags & MF_POPUP) subs.push_back((HMENU)item.id);
    g_menus.erase(it);
    for (HMENU s : subs) destroyMenuLocked(s);
}

void describeMenu(HMENU menu, int depth, std::string& out) {
    auto it = g_menus.find(menu);
    if (it == g_menus.end() || depth > 8) return;
    for (auto& item : it->second->items) {
        UINT id = (item.flags & MF_POPUP) ? 0 : (UINT)item.id;
        out += std::to_string(depth) + "\t" + std::to_string(id) + "\t" + std::to_string(item.flags) + "\t" +
               platform::escapeField(item.text) + "\n";
        if (item.flags & MF_POPUP) describeMenu((HMENU)item.id, depth + 1, out);
    }
}

// Handles what the thread has waiting; false when WM_QUIT arrived (it is posted again for the
// thread's own loop, as a modal loop on Windows does).
bool pumpMessages() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            PostQuitMessage((int)m.wParam);
            return false;
        }
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return true;
}

// ---- message boxes -----------------------------------------------------------------------------

std::mutex g_boxLock;
std::map<HWND, int>& g_boxResults = platform::keptState<std::map<HWND, int>>();  // 0 while open
std::map<HWND, bool>& g_boxHasCancel = platform::keptState<std::map<HWND, bool>>();

void setBoxResult(HWND box, int result) {
    std::lock_guard<std::mutex> l(g_boxLock);
    auto it = g_boxResults.find(box);
    if (it != g_boxResults.end() && it->second == 0) it->second = result;
}

LRESULT messageBoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    bool hasCancel = false;
    {
        std::lock_guard<std::mutex> l(g_boxLock);
        hasCancel = g_boxHasCancel[window];
    }
    if (message == WM_COMMAND) {
        int id = (int)(wParam & 0xFFFF);
        if (id == IDOK || (id == IDCANCEL && hasCancel)) setBoxResult(window, id);
        return 0;
    }
    if (message == WM_CLOSE) {
        setBoxResult(window, hasCancel ? IDCANCEL : IDOK);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

constexpr wchar_t kBoxClass[] = L"#32770";

std::string boxFile(HWND box) {
    return shellDir() + "/msgbox-" + hexHandle(box);
}

bool processAlive(DWORD pid) {
    return pid != 0 && (kill((pid_t)pid, 0) == 0 || errno == EPERM);
}

// ---- keys ----------------------------------------------------------------------------------------

// The key state is two 256-byte files: the key states the driver writes, and seen flags
// GetKeyState writes, so a press can be held until a program has noticed it. A released key
// stays "released" until a program has read it up.
constexpr unsigned char kKeyUp = 0;
constexpr unsigned char kKeyDown = 1;
constexpr unsigned char kKeyReleased = 2;
int openKeyFile(const char* name) {
    std::string path = shellDir() + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size < 256) {
        if (ftruncate(fd, 256) != 0) {
        }
    }
    return fd;
}

bool writeKeyByte(const char* name, int key, unsigned char value) {
    int fd = openKeyFile(name);
    if (fd < 0) return false;
    bool ok = pwrite(fd, &value, 1, key) == 1;
    close(fd);
    return ok;
}

unsigned char readKeyByte(const char* name, int key) {
    std::string path = shellDir() + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    unsigned char value = 0;
    if (pread(fd, &value, 1, key) != 1) value = 0;
    close(fd);
    return value;
}

}  // namespace

namespace platform {

// Texts travel in tab-separated lines: backslash, tab and line ends are escaped.
std::string escapeField(const std::wstring& text) {
    std::string out;
    for (char c : toUtf8(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

}  // namespace platform

// ---- icons -------------------------------------------------------------------------------------

HICON LoadIconW(HINSTANCE, LPCWSTR name) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!IS_INTRESOURCE(name) || (WORD)(ULONG_PTR)name == 0) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> l(g_iconLock);
    uintptr_t h = g_nextIcon++;
    g_icons[h] = (int)(WORD)(ULONG_PTR)name;
    return (HICON)h;
}

BOOL DestroyIcon(HICON icon) {
    std::lock_guard<std::mutex> l(g_iconLock);
    if (g_icons.erase((uintptr_t)icon) == 0) {
        SetLastError(ERROR_INVALID_ICON_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- tray --------------------------------------------------------------------------------------

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    if (data == nullptr || data->cbSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ShellLock lock;
    auto icons = loadTray();
    auto it = icons.begin();
    for (; it != icons.end(); ++it)
        if (it->owner == data->hWnd && it->id == data->uID) break;
    switch (message) {
        case NIM_ADD: {
            if (it != icons.end() || !IsWindow(data->hWnd)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            platform::TrayIcon t{};
            t.owner = data->hWnd;
            t.id = data->uID;
            t.processId = GetCurrentProcessId();
            applyIconData(t, *data);
            icons.push_back(t);
            if (!saveTray(icons)) return FALSE;
            noteBalloon(*data);
            return TRUE;
        }
        case NIM_MODIFY:
            if (it == icons.end()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            applyIconData(*it, *data);
            if (!saveTray(icons)) return FALSE;
            noteBalloon(*data);
            return TRUE;
        case NIM_DELETE:
            if (it == icons.end()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            icons.erase(it);
            return saveTray(icons) ? TRUE : FALSE;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

namespace platform {

int listTrayIcons(TrayIcon* out, int capacity) {
    ShellLock lock;
    auto icons = loadTray();
    int n = 0;
    for (auto& t : icons) {
        if (n >= capacity) break;
        out[n++] = t;
    }
    return n;
}

std::string balloonLog() {
    ShellLock lock;
    return platform::readFile(shellDir() + "/balloons");
}

void clearTray() {
    ShellLock lock;
    saveTray({});
}

}  // namespace platform

// ---- menus -------------------------------------------------------------------------------------

HMENU CreatePopupMenu(void) {
    std::lock_guard<std::mutex> l(g_menuLock);
    HMENU h = (HMENU)g_nextMenu++;
    g_menus[h] = std::make_unique<Menu>();
    return h;
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR idNewItem, LPCWSTR text) {
    std::lock_guard<std::mutex> l(g_menuLock);
    auto it = g_menus.find(menu);
    if (it == g_menus.end() ||
        ((flags & MF_POPUP) && (!g_menus.count((HMENU)idNewItem) || (HMENU)idNewItem == menu))) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return FALSE;
    }
    MenuItem item{flags, idNewItem, (text && !(flags & MF_SEPARATOR)) ? std::wstring(text) : std::wstring()};
    it->second->items.push_back(item);
    return TRUE;
}

BOOL DestroyMenu(HMENU menu) {
    std::lock_guard<std::mutex> l(g_menuLock);
    if (!g_menus.count(menu)) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return FALSE;
    }
    destroyMenuLocked(menu);
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int, int, int, HWND owner, const RECT*) {
    std::string token;
    std::string text;
    {
        std::lock_guard<std::mutex> l(g_menuLock);
        if (!g_menus.count(menu)) {
            SetLastError(ERROR_INVALID_MENU_HANDLE);
            return FALSE;
        }
        token = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++g_menuToken);
        describeMenu(menu, 0, text);
    }
    if (!IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::string dir = shellDir();
    {
        ShellLock lock;
        unlink((dir + "/menu-choice").c_str());
        writeFile(dir + "/menu", token + "\t" + std::to_string(GetCurrentProcessId()) + "\t" +
                                     hexHandle(owner) + "\n" + text);
    }
    UINT chosen = 0;
    for (;;) {
        if (!pumpMessages()) break;
        std::string choice;
        {
            ShellLock lock;
            choice = platform::readFile(dir + "/menu-choice");
        }
        auto parts = splitTabs(lines(choice).empty() ? std::string() : lines(choice)[0]);
        if (parts.size() == 2 && parts[0] == token) {
            chosen = (UINT)number(parts[1]);
            break;
        }
        Sleep(10);
    }
    {
        ShellLock lock;
        std::string current = platform::readFile(dir + "/menu");
        if (current.compare(0, token.size() + 1, token + "\t") == 0) {
            unlink((dir + "/menu").c_str());
            unlink((dir + "/menu-choice").c_str());
        }
    }
    if (flags & TPM_RETURNCMD) return (BOOL)chosen;
    if (chosen) PostMessageW(owner, WM_COMMAND, chosen, 0);
    return TRUE;
}

namespace platform {

std::string openMenuText() {
    ShellLock lock;
    auto all = lines(platform::readFile(shellDir() + "/menu"));
    if (all.empty()) return "";
    auto head = splitTabs(all[0]);
    if (head.size() < 2 || !processAlive((DWORD)number(head[1]))) return "";
    std::string out;
    for (size_t i = 1; i < all.size(); ++i) out += all[i] + "\n";
    return out;
}

bool chooseMenuItem(UINT id) {
    ShellLock lock;
    std::string dir = shellDir();
    auto all = lines(platform::readFile(dir + "/menu"));
    if (all.empty()) return false;
    auto head = splitTabs(all[0]);
    if (head.size() < 2 || !processAlive((DWORD)number(head[1]))) return false;
    bool found = id == 0;
    for (size_t i = 1; i < all.size() && !found; ++i) {
        auto p = splitTabs(all[i]);
        if (p.size() < 3) continue;
        UINT itemFlags = (UINT)number(p[2]);
        if ((UINT)number(p[1]) == id && !(itemFlags & (MF_POPUP | MF_SEPARATOR | MF_GRAYED | MF_DISABLED)))
            found = true;
    }
    if (!found) return false;
    return writeFile(dir + "/menu-choice", head[0] + "\t" + std::to_string(id) + "\n");
}

}  // namespace platform

// ---- message boxes -----------------------------------------------------------------------------

int MessageBoxIndirectW(const MSGBOXPARAMSW* params) {
    if (params == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    static std::once_flag registered;
    std::call_once(registered, [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = messageBoxProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kBoxClass;
        RegisterClassW(&wc);
    });
    std::wstring caption = params->lpszCaption ? params->lpszCaption : L"Error";
    std::wstring text = params->lpszText ? params->lpszText : L"";
    bool hasCancel = (params->dwStyle & 0xF) == MB_OKCANCEL;
    HWND box = CreateWindowExW((params->dwStyle & MB_TOPMOST) ? WS_EX_TOPMOST : 0, kBoxClass, caption.c_str(),
                               WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, params->hwndOwner, nullptr,
                               params->hInstance, nullptr);
    if (box == nullptr) return 0;
    {
        std::lock_guard<std::mutex> l(g_boxLock);
        g_boxResults[box] = 0;
        g_boxHasCancel[box] = hasCancel;
    }
    {
        ShellLock lock;
        writeFile(boxFile(box), std::to_string(GetCurrentProcessId()) + "\t" +
                                    platform::escapeField(caption) + "\t" + platform::escapeField(text) +
                                    "\t" + std::to_string(params->dwStyle) + "\n");
    }
    if (params->dwStyle & MB_SETFOREGROUND) SetForegroundWindow(box);
    int result = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> l(g_boxLock);
            result = g_boxResults[box];
        }
        if (result) break;
        MSG m;
        BOOL got = GetMessageW(&m, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage((int)m.wParam);
            result = hasCancel ? IDCANCEL : IDOK;
            break;
        }
        if (got < 0) break;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    {
        ShellLock lock;
        unlink(boxFile(box).c_str());
    }
    DestroyWindow(box);
    {
        std::lock_guard<std::mutex> l(g_boxLock);
        g_boxResults.erase(box);
        g_boxHasCancel.erase(box);
    }
    return result;
}

namespace platform {

std::vector<MessageBoxInfo> listMessageBoxes() {
    std::vector<MessageBoxInfo> boxes;
    ShellLock lock;
    std::vector<DesktopWindow> windows(4096);
    windows.resize((size_t)listDesktopWindows(windows.data(), (int)windows.size()));
    for (auto& w : windows) {
        if (wcscmp(w.className, kBoxClass) != 0) continue;
        auto all = lines(platform::readFile(boxFile(w.window)));
        if (all.empty()) continue;
        auto p = splitTabs(all[0]);
        if (p.size() < 3) continue;
        boxes.push_back({w.window, w.processId, unescape(p[1]), unescape(p[2])});
    }
    return boxes;
}

}  // namespace platform

// ---- keyboard, cursor, foreground --------------------------------------------------------------

short GetKeyState(int virtualKey) {
    if (virtualKey < 0 || virtualKey > 255) return 0;
    unsigned char state = readKeyByte("keys", virtualKey);
    if (state == kKeyReleased) {
        writeKeyByte("keys", virtualKey, kKeyUp);  // the release has been noticed
        return 0;
    }
    if (state != kKeyDown) return 0;
    if (!readKeyByte("keys-seen", virtualKey)) writeKeyByte("keys-seen", virtualKey, 1);
    return (short)0xFF80;
}

BOOL GetCursorPos(LPPOINT point) {
    if (point == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Where the tray sits on the default screen, until the driver moves the cursor.
    point->x = 1000;
    point->y = 750;
    std::string text = platform::readFile(shellDir() + "/cursor");
    long x = 0, y = 0;
    if (sscanf(text.c_str(), "%ld %ld", &x, &y) == 2) {
        point->x = (LONG)x;
        point->y = (LONG)y;
    }
    return TRUE;
}

BOOL SetForegroundWindow(HWND window) {
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ShellLock lock;
    return writeFile(shellDir() + "/foreground", hexHandle(window) + "\n") ? TRUE : FALSE;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
    if (rect == nullptr || !IsWindow(window)) {
        SetLastError(rect ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *rect = RECT{0, 0, 0, 0};
    return TRUE;
}

namespace platform {

void setKeyDown(int virtualKey, bool down) {
    if (virtualKey < 0 || virtualKey > 255) return;
    if (down) writeKeyByte("keys-seen", virtualKey, 0);
    writeKeyByte("keys", virtualKey, down ? kKeyDown : kKeyUp);
}

bool tapKey(int virtualKey, DWORD timeoutMs) {
    if (virtualKey < 0 || virtualKey > 255) return false;
    setKeyDown(virtualKey, true);
    bool seen = false;
    int64_t deadline = nowMs() + timeoutMs;
    while (!(seen = readKeyByte("keys-seen", virtualKey) != 0) && nowMs() < deadline) Sleep(5);
    if (!seen) {
        writeKeyByte("keys", virtualKey, kKeyUp);
        return false;
    }
    // Released, and held up until the watcher has noticed it, so that two taps of one key
    // are two presses.
    writeKeyByte("keys", virtualKey, kKeyReleased);
    deadline = nowMs() + timeoutMs;
    while (readKeyByte("keys", virtualKey) == kKeyReleased && nowMs() < deadline) Sleep(5);
    writeKeyByte("keys", virtualKey, kKeyUp);
    return true;
}

void setCursorPos(int x, int y) {
    ShellLock lock;
    writeFile(shellDir() + "/cursor", std::to_string(x) + " " + std::to_string(y) + "\n");
}

}  // namespace platform
