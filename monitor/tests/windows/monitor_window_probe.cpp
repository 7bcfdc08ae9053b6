// Drives the running monitor's windows from another process, as a user's clicks on the tray icon
// do, and reads them back with plain Win32 calls: the hidden tray window and its class, the icon
// resources of the program, the popup menu (its items, ids, checks; one screenshot of it open) and
// the About box (its caption and text, one box at a time). The expected values are written out
// here, not taken from the monitor's headers, so that a wrong constant there shows.
// Each case prints "ok: ..." or "FAIL: ..."; the exit code is 1 when one failed.
//
//   monitor_window_probe [--shot <png>]   the window, the icons, the menu of a running service
//       (and its screenshot), the About box by the menu and by a double click
//   monitor_window_probe --stopped         the menu of a stopped service
//   monitor_window_probe --debug           debug mode: the About box's versions, the menu's debug
//       items; then the menu's "Turn off debug mode" ends debug mode
//   monitor_window_probe --debug-on        with the About box open, WM_COMMAND 61014 to the tray
//       window (as the monitor's other senders do) switches debug mode on and closes the box
//   monitor_window_probe --list              prints every top-level window (class, title, process)
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/windows/win_shell_side.h"

namespace {

const wchar_t kTrayClass[] = L"KVLBTessarionMonitor.exe";
const wchar_t kAboutCaption[] = L"KVLBTessarion Monitor";
const UINT kTrayCallback = WM_USER + 1;

int failures = 0;

void ok(const std::string& what) {
    std::printf("ok: %s\n", what.c_str());
}
void fail(const std::string& what) {
    std::printf("FAIL: %s\n", what.c_str());
    ++failures;
}
void check(bool good, const std::string& what, const std::string& detail = "") {
    if (good)
        ok(what);
    else
        fail(detail.empty() ? what : what + ": " + detail);
}

std::string utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// Line ends shown as \n, so that a difference in them shows in a one-line report.
std::string shown(const std::wstring& text) {
    std::string out;
    for (char c : utf8(text))
        out += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    return "'" + out + "'";
}

std::wstring className(HWND w) {
    wchar_t name[256] = L"";
    GetClassNameW(w, name, 256);
    return name;
}

std::wstring windowText(HWND w) {
    // WM_GETTEXT reaches controls of another process, which GetWindowTextW does not.
    std::wstring text(4096, L'\0');
    LRESULT n = SendMessageW(w, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

DWORD processOf(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return pid;
}

std::wstring imagePath(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return L"";
    wchar_t path[MAX_PATH] = L"";
    if (GetModuleFileNameExW(process, nullptr, path, MAX_PATH) == 0) path[0] = L'\0';
    CloseHandle(process);
    return path;
}

struct Walk {
    const std::function<bool(HWND)>* wanted;
    std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND w, LPARAM p) {
    auto* walk = reinterpret_cast<Walk*>(p);
    if ((*walk->wanted)(w)) walk->found.push_back(w);
    return TRUE;
}

std::vector<HWND> topWindows(const std::function<bool(HWND)>& wanted) {
    Walk walk{&wanted, {}};
    EnumWindows(collect, reinterpret_cast<LPARAM>(&walk));
    return walk.found;
}

std::vector<HWND> childWindows(HWND parent, const std::function<bool(HWND)>& wanted) {
    Walk walk{&wanted, {}};
    EnumChildWindows(parent, collect, reinterpret_cast<LPARAM>(&walk));
    return walk.found;
}

// Polls up to 10 s for windows that match.
std::vector<HWND> awaitWindows(const std::function<bool(HWND)>& wanted, int tenths = 100) {
    for (int i = 0; i < tenths; ++i) {
        std::vector<HWND> found = topWindows(wanted);
        if (!found.empty()) return found;
        Sleep(100);
    }
    return {};
}

bool awaitGone(HWND w) {
    for (int i = 0; i < 100; ++i) {
        if (!IsWindow(w) || !IsWindowVisible(w)) return true;
        Sleep(100);
    }
    return false;
}

// ---- the popup menu ----

struct Item {
    UINT id;  // 0 for a separator and the language popup
    std::wstring text;
    bool checked;
    bool separator;
    std::vector<Item> popup;
};

// The items as the hook DLL wrote them: "<id>\t<flags>\t<text>" per line, a popup's items indented
// by one more tab and closed by "end".
std::vector<Item> parseMenu(const std::wstring& lines, size_t& at, size_t depth) {
    std::vector<Item> items;
    while (at < lines.size()) {
        size_t end = lines.find(L'\n', at);
        if (end == std::wstring::npos) end = lines.size();
        std::wstring line = lines.substr(at, end - at);
        size_t tabs = line.find_first_not_of(L'\t');
        if (tabs == std::wstring::npos || tabs < depth) break;  // the end of this popup's items
        at = end + 1;
        line = line.substr(tabs);
        if (line == L"end") break;
        size_t a = line.find(L'\t'), b = a == std::wstring::npos ? a : line.find(L'\t', a + 1);
        if (b == std::wstring::npos) {
            items.push_back({0, line, false, false, {}});
            continue;
        }
        std::wstring flags = line.substr(a + 1, b - a - 1);
        Item item{static_cast<UINT>(_wtoi(line.substr(0, a).c_str())),
                  line.substr(b + 1),
                  flags.find(L'C') != std::wstring::npos,
                  flags.find(L'S') != std::wstring::npos,
                  {}};
        if (flags.find(L'P') != std::wstring::npos) item.popup = parseMenu(lines, at, depth + 1);
        items.push_back(item);
    }
    return items;
}

// Wine keeps a menu's items in the process that made it, so they are read from inside the
// monitor: a hook DLL on its window thread answers the registered message below (menu_reader.cpp).
std::vector<Item> readOpenMenu(HWND tray) {
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dllPath = self;
    dllPath = dllPath.substr(0, dllPath.find_last_of(L'\\') + 1) + L"menu_reader.dll";
    HMODULE dll = LoadLibraryW(dllPath.c_str());
    auto proc =
        dll ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(dll, "menuReaderHook")))
            : nullptr;
    const size_t chars = 16384;
    HANDLE shared = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       chars * sizeof(wchar_t), L"KVLBProbeMenuItems");
    auto* view =
        shared ? static_cast<wchar_t*>(MapViewOfFile(shared, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
    std::wstring lines = L"(the hook DLL could not be set)";
    HHOOK hook = proc && view
                     ? SetWindowsHookExW(WH_CALLWNDPROC, proc, dll, GetWindowThreadProcessId(tray, nullptr))
                     : nullptr;
    if (hook != nullptr) {
        view[0] = L'\0';
        DWORD_PTR result = 0;
        SendMessageTimeoutW(tray, RegisterWindowMessageW(L"KVLBProbeReadMenu"), 0, 0, SMTO_ABORTIFHUNG, 5000,
                            &result);
        lines = view[0] ? std::wstring(view) : L"(the hook did not answer)";
        UnhookWindowsHookEx(hook);
    }
    if (view) UnmapViewOfFile(view);
    if (shared) CloseHandle(shared);
    if (dll) FreeLibrary(dll);
    size_t at = 0;
    return parseMenu(lines, at, 0);
}

std::string describe(const std::vector<Item>& items) {
    std::string out;
    for (const Item& item : items) {
        if (!out.empty()) out += ", ";
        if (item.separator) {
            out += "---";
            continue;
        }
        out += std::to_string(item.id) + " " + shown(item.text) + (item.checked ? " (checked)" : "");
        if (!item.popup.empty() || item.id == 0) out += " [" + describe(item.popup) + "]";
    }
    return out;
}

std::vector<Item> expectedMenu(bool running, bool debug) {
    std::vector<Item> menu;
    if (running) {
        menu.push_back({61001, L"Stop", false, false, {}});
        menu.push_back({61003, L"Restart", false, false, {}});
    } else {
        menu.push_back({61002, L"Start", false, false, {}});
    }
    menu.push_back({0,
                    L"Language",
                    false,
                    false,
                    {{61007, L"TradChinese", false, false, {}},
                     {61008, L"English", true, false, {}},
                     {61013, L"Japanese", false, false, {}},
                     {61010, L"SimpChinese", false, false, {}}}});
    menu.push_back({61011, L"System hint", true, false, {}});  // checked: balloons are on
    menu.push_back({61004, L"About", false, false, {}});
    if (debug) {
        menu.push_back({0, L"", false, true, {}});
        menu.push_back({61012, L"Screenshots", false, false, {}});
        menu.push_back({61015, L"Turn off debug mode", false, false, {}});
    }
    menu.push_back({0, L"", false, true, {}});
    menu.push_back({40003, L"Quit", false, false, {}});
    return menu;
}

// Distinct colours inside a rectangle of a bitmap: a painted menu has text on a background.
size_t coloursIn(HBITMAP bitmap, const RECT& r) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    std::vector<DWORD> pixels(static_cast<size_t>(width) * height);
    HDC dc = GetDC(nullptr);
    int lines = GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    std::set<DWORD> colours;
    if (lines != height) return 0;
    for (LONG y = (r.top > 0 ? r.top : 0); y < r.bottom && y < height; ++y)
        for (LONG x = (r.left > 0 ? r.left : 0); x < r.right && x < width; ++x)
            colours.insert(pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF);
    return colours.size();
}

// The whole screen as a PNG file; true when the file was written and the menu's area shows more
// than a flat fill.
bool screenshot(const std::wstring& path, const RECT& menuArea, size_t* colours) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    *colours = coloursIn(bitmap, menuArea);
    bool saved = SaveBitmapAsPngW(bitmap, path.c_str()) == S_OK;
    DeleteObject(bitmap);
    WIN32_FILE_ATTRIBUTE_DATA data;
    return saved && GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow > 0;
}

HWND openMenu(HWND tray, DWORD monitor) {
    PostMessageW(tray, kTrayCallback, 0, WM_RBUTTONDOWN);
    std::vector<HWND> menus = awaitWindows([monitor](HWND w) {
        return className(w) == L"#32768" && IsWindowVisible(w) && processOf(w) == monitor;
    });
    return menus.empty() ? nullptr : menus.front();
}

// Chooses an item of the open menu with the keyboard, as a user does: one Down per selectable
// item up to it, then Enter; the menu loop posts the item's command to the tray window.
void chooseByKeys(HWND menu, const std::vector<Item>& items, UINT id) {
    for (const Item& item : items) {
        if (item.separator) continue;
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(menu, WM_KEYUP, VK_DOWN, 0xC0000001);
        if (item.id == id) break;
    }
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(menu, WM_KEYUP, VK_RETURN, 0xC0000001);
}

// ---- the About box ----

std::vector<HWND> aboutBoxes(DWORD monitor) {
    return topWindows([monitor](HWND w) {
        return className(w) == L"#32770" && IsWindowVisible(w) && processOf(w) == monitor &&
               windowText(w) == kAboutCaption;
    });
}

// The box's message: its static control that carries text (the other one holds the icon).
std::wstring aboutText(HWND box) {
    std::wstring found;
    childWindows(box, [&found](HWND w) {
        if (className(w) == L"Static" && (GetWindowLongW(w, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
            std::wstring text = windowText(w);
            if (!text.empty()) found = text;
        }
        return false;
    });
    return found;
}

// A component as an installer leaves it in the service's data folder: its name in Big5 (four
// Traditional Chinese characters) and its version, each file's whole content shown unchanged.
const char kBig5Name[] = "\xB4\xFA\xB8\xD5\xA4\xB8\xA5\xF3";
const wchar_t kComponentLine[] = L"\u6e2c\u8a66\u5143\u4ef6 Version:2.3.4 \n";

bool plantComponent() {
    wchar_t data[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data) != S_OK) return false;
    std::wstring folder = std::wstring(data) + L"\\KVLBTessarionMain\\SampleComponent";
    CreateDirectoryW((std::wstring(data) + L"\\KVLBTessarionMain").c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    auto write = [](const std::wstring& path, const char* text) {
        FILE* f = _wfopen(path.c_str(), L"wb");
        if (f == nullptr) return false;
        bool good = std::fputs(text, f) >= 0;
        return std::fclose(f) == 0 && good;
    };
    return write(folder + L"\\SampleDisplayName.txt", kBig5Name) &&
           write(folder + L"\\SampleVersion.txt", "2.3.4");
}

// Normal mode: the component line, then a one-line rights notice. Debug mode: the component line,
// the service's and the monitor's versions, then the same notice.
void checkAboutText(const std::wstring& text, bool debug, const std::string& how) {
    std::wstring head = kComponentLine;
    if (debug) head += L"KVLBTessarion program version: 1.0.21.0630 \nMonitor version: 1.0.20.0309 \n";
    bool good = text.compare(0, head.size(), head) == 0;
    std::wstring notice = good ? text.substr(head.size()) : L"";
    good = good && notice.size() > 2 && notice.find(L'\n') == notice.size() - 1 &&
           notice.compare(notice.size() - 2, 2, L" \n") == 0 && notice.find(L'=') == std::wstring::npos;
    check(good,
          "the About box opened by " + how + " shows the Big5 component's line" +
              (debug ? ", the two program versions" : "") + " and the rights notice",
          "it shows " + shown(text));
}

bool closeAbout(HWND box) {
    PostMessageW(box, WM_CLOSE, 0, 0);
    return awaitGone(box);
}

void listWindows() {
    for (HWND w : topWindows([](HWND) { return true; })) {
        std::printf("%p class=%s title=%s pid=%lu visible=%d image=%s\n", static_cast<void*>(w),
                    shown(className(w)).c_str(), shown(windowText(w)).c_str(), processOf(w),
                    IsWindowVisible(w), utf8(imagePath(processOf(w))).c_str());
    }
}

// The hidden tray window: the only window of its class, untitled, never shown, top level, owned
// by the monitor's process; and the icons 101, 104 and 105 in its program file, and no other.
void checkWindowAndIcons(HWND tray, size_t windows, const std::wstring& image) {
    std::wstring base = image.substr(image.find_last_of(L'\\') + 1);
    check(windows == 1 && windowText(tray).empty() && !IsWindowVisible(tray) && GetParent(tray) == nullptr &&
              FindWindowW(kTrayClass, nullptr) == tray &&
              lstrcmpiW(base.c_str(), L"KVLBTessarionMonitor.exe") == 0,
          "one hidden, untitled top-level window of the class KVLBTessarionMonitor.exe, the monitor's own",
          std::to_string(windows) + " window(s), title " + shown(windowText(tray)) + ", visible " +
              std::to_string(IsWindowVisible(tray)) + ", process image " + shown(image));

    // The icons: 101, 104 and 105 load from the program file; no other number does.
    HMODULE file = LoadLibraryExW(image.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::string icons;
    for (int id : {101, 104, 105, 102}) {
        HICON icon =
            file
                ? static_cast<HICON>(LoadImageW(file, MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE))
                : nullptr;
        icons += " " + std::to_string(id) + (icon ? ":yes" : ":no");
        if (icon) DestroyIcon(icon);
    }
    if (file) FreeLibrary(file);
    check(icons == " 101:yes 104:yes 105:yes 102:no",
          "the icons 101, 104 and 105 load from the monitor's program file", "loaded" + icons);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool running = true, debug = false, debugOn = false;
    std::wstring shot;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--list") {
            listWindows();
            return 0;
        }
        if (a == L"--debug-on") debugOn = true;
        if (a == L"--stopped") running = false;
        if (a == L"--debug") debug = true;
        if (a == L"--shot" && i + 1 < argc) shot = argv[++i];
    }

    std::vector<HWND> trays = awaitWindows([](HWND w) { return className(w) == kTrayClass; });
    if (trays.empty()) {
        fail("no window of the class KVLBTessarionMonitor.exe");
        return 1;
    }
    HWND tray = trays.front();
    DWORD monitor = processOf(tray);
    std::wstring image = imagePath(monitor);
    // The window and the icons do not change with the service's state or debug mode: checked in
    // the plain run only.
    if (running && !debug && !debugOn) checkWindowAndIcons(tray, trays.size(), image);

    if (debugOn) {
        PostMessageW(tray, kTrayCallback, 0, WM_LBUTTONDBLCLK);
        awaitWindows([monitor](HWND) { return !aboutBoxes(monitor).empty(); });
        std::vector<HWND> boxes = aboutBoxes(monitor);
        if (boxes.size() != 1) {
            fail("the About box did not open before debug mode was switched on");
            return 1;
        }
        PostMessageW(tray, WM_COMMAND, 61014, 0);
        check(awaitGone(boxes.front()),
              "switching debug mode on (WM_COMMAND 61014) closes the open About box");
        return failures ? 1 : 0;
    }

    if (!plantComponent()) fail("the component's files could not be placed in the service's data folder");
    if (debug) {
        // In debug mode the About box adds the programs' versions.
        PostMessageW(tray, kTrayCallback, 0, WM_LBUTTONDBLCLK);
        std::vector<HWND> boxes = awaitWindows([monitor](HWND) { return !aboutBoxes(monitor).empty(); });
        boxes = aboutBoxes(monitor);
        check(boxes.size() == 1, "a double click opens the About box in debug mode");
        if (!boxes.empty()) {
            checkAboutText(aboutText(boxes.front()), true, "a double click in debug mode");
            for (HWND box : boxes) closeAbout(box);
        }
    }

    // The popup menu through the tray callback's right click.
    HWND menuWindow = openMenu(tray, monitor);
    check(menuWindow != nullptr,
          "a right click on the tray icon (WM_USER+1, WM_RBUTTONDOWN) opens the popup menu");
    if (menuWindow == nullptr) return 1;
    std::vector<Item> items = readOpenMenu(tray);
    std::string got = describe(items), want = describe(expectedMenu(running, debug));
    check(got == want,
          std::string("the menu") + (running ? " of a running service" : " of a stopped service") +
              (debug ? " in debug mode" : "") + " lists " + want,
          "it lists " + got);
    if (!shot.empty()) {
        Sleep(500);  // the menu paints after it shows
        RECT area = {0, 0, 0, 0};
        GetWindowRect(menuWindow, &area);
        size_t colours = 0;
        bool saved = screenshot(shot, area, &colours);
        check(saved && colours > 2, "a screenshot of the open menu is written to " + utf8(shot),
              saved ? "the menu's area has " + std::to_string(colours) + " colour(s)"
                    : "the PNG was not written");
    }

    if (debug) {
        // Debug mode ends through its own menu item.
        chooseByKeys(menuWindow, items, 61015);
        check(awaitGone(menuWindow), "choosing \"Turn off debug mode\" with the keyboard closes the menu");
        return failures ? 1 : 0;
    }

    if (!running) {
        // The About box does not depend on the service; Escape closes the menu.
        PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
        if (!awaitGone(menuWindow)) fail("Escape did not close the menu");
        return failures ? 1 : 0;
    }

    // The About item, chosen with the keyboard, opens the About box.
    chooseByKeys(menuWindow, items, 61004);
    std::vector<HWND> boxes = awaitWindows([monitor](HWND) { return !aboutBoxes(monitor).empty(); });
    boxes = aboutBoxes(monitor);
    check(awaitGone(menuWindow) && boxes.size() == 1,
          "choosing About in the menu opens one About box captioned \"KVLBTessarion Monitor\"",
          std::to_string(boxes.size()) + " box(es)");
    if (boxes.size() == 1) {
        checkAboutText(aboutText(boxes.front()), false, "the menu");
        check(closeAbout(boxes.front()), "WM_CLOSE closes the About box");
    }

    // The double click opens it too, and a second one while it is open opens no other box.
    PostMessageW(tray, kTrayCallback, 0, WM_LBUTTONDBLCLK);
    awaitWindows([monitor](HWND) { return !aboutBoxes(monitor).empty(); });
    PostMessageW(tray, kTrayCallback, 0, WM_LBUTTONDBLCLK);
    Sleep(1000);
    boxes = aboutBoxes(monitor);
    check(boxes.size() == 1,
          "a double click opens the About box, and a second one while it is open opens no other",
          std::to_string(boxes.size()) + " box(es)");
    if (!boxes.empty()) {
        checkAboutText(aboutText(boxes.front()), false, "a double click");
        for (HWND box : boxes) closeAbout(box);
    }
    return failures ? 1 : 0;
}
