// The shell verbs of kvlbdesktop: the tray, balloons, the open popup menu, message boxes, keys
// and the cursor, acted on as a user would. Output lines are tab-separated.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/driver/driver_verbs.h"
#include "platform/posix/win_internal.h"
#include "platform/win_shell.h"

namespace {

bool parseNumber(const char* text, unsigned long long* out) {
    char* end = nullptr;
    *out = strtoull(text, &end, 0);
    return end && end != text && *end == '\0';
}

bool alive(DWORD pid) {
    std::string path = "/proc/" + std::to_string(pid);
    FILE* f = fopen((path + "/stat").c_str(), "r");
    if (!f) return false;
    fclose(f);
    return true;
}

int listTray() {
    std::vector<platform::TrayIcon> icons(256);
    icons.resize((size_t)platform::listTrayIcons(icons.data(), (int)icons.size()));
    for (auto& t : icons)
        printf("0x%llx\t%u\t%u\t%d\t%s\t%s\n", (unsigned long long)(uintptr_t)t.owner, t.id, t.processId,
               t.iconResource, alive(t.processId) ? "alive" : "dead", platform::escapeField(t.tip).c_str());
    return 0;
}

int clickTray(bool doubleClick, const char* ownerText) {
    std::vector<platform::TrayIcon> icons(256);
    icons.resize((size_t)platform::listTrayIcons(icons.data(), (int)icons.size()));
    unsigned long long owner = 0;
    if (ownerText && !parseNumber(ownerText, &owner)) return 2;
    for (auto& t : icons) {
        if (owner && (uintptr_t)t.owner != owner) continue;
        if (!t.callbackMessage) return 1;
        if (doubleClick) {
            PostMessageW(t.owner, t.callbackMessage, t.id, WM_LBUTTONDOWN);
            PostMessageW(t.owner, t.callbackMessage, t.id, WM_LBUTTONUP);
            return PostMessageW(t.owner, t.callbackMessage, t.id, WM_LBUTTONDBLCLK) ? 0 : 1;
        }
        if (!PostMessageW(t.owner, t.callbackMessage, t.id, WM_RBUTTONDOWN)) return 1;
        return PostMessageW(t.owner, t.callbackMessage, t.id, WM_RBUTTONUP) ? 0 : 1;
    }
    fprintf(stderr, "kvlbdesktop: no such tray icon\n");
    return 1;
}

// The identifier of the open menu's item shown with that text; 0 when there is none.
unsigned long long menuItemByText(const char* what) {
    std::string menu = platform::openMenuText();
    size_t start = 0;
    while (start < menu.size()) {
        size_t end = menu.find('\n', start);
        std::string line = menu.substr(start, end - start);
        start = end == std::string::npos ? menu.size() : end + 1;
        size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1);
        if (t3 == std::string::npos) continue;
        if (line.substr(t3 + 1) == what)
            return strtoull(line.substr(t1 + 1, t2 - t1 - 1).c_str(), nullptr, 10);
    }
    return 0;
}

// A menu opens a moment after the click that asks for it, so the choice waits a little for it.
constexpr auto kMenuWait = std::chrono::seconds(5);

int choose(const char* what) {
    unsigned long long id = 0;
    const bool byText = !parseNumber(what, &id);
    const auto deadline = std::chrono::steady_clock::now() + kMenuWait;
    for (;;) {
        if (byText) id = menuItemByText(what);
        if (id && platform::chooseMenuItem((UINT)id)) return 0;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (byText && !id)
        fprintf(stderr, "kvlbdesktop: no menu item \"%s\"\n", what);
    else
        fprintf(stderr, "kvlbdesktop: no open menu with a choosable item %s\n", what);
    return 1;
}

int closeBox(bool ok, const char* windowText) {
    unsigned long long window = 0;
    if (windowText && !parseNumber(windowText, &window)) return 2;
    for (auto& b : platform::listMessageBoxes()) {
        if (window && (uintptr_t)b.window != window) continue;
        BOOL sent = ok ? PostMessageW(b.window, WM_COMMAND, IDOK, 0) : PostMessageW(b.window, WM_CLOSE, 0, 0);
        return sent ? 0 : 1;
    }
    fprintf(stderr, "kvlbdesktop: no such message box\n");
    return 1;
}

int keys(int argc, char** argv, int first) {
    DWORD timeout = 5000;
    std::vector<int> codes;
    for (int i = first; i < argc; ++i) {
        unsigned long long v = 0;
        if (!strcmp(argv[i], "--timeout") && i + 1 < argc) {
            if (!parseNumber(argv[++i], &v)) return 2;
            timeout = (DWORD)v;
            continue;
        }
        if (!parseNumber(argv[i], &v) || v == 0 || v > 255) return 2;
        codes.push_back((int)v);
    }
    if (codes.empty()) return 2;
    for (int code : codes)
        if (!platform::tapKey(code, timeout)) {
            fprintf(stderr, "kvlbdesktop: key 0x%X was not seen\n", code);
            return 1;
        }
    return 0;
}

int listBalloons(int, char**) {
    fputs(platform::balloonLog().c_str(), stdout);
    return 0;
}

int showMenu(int, char**) {
    std::string menu = platform::openMenuText();
    fputs(menu.c_str(), stdout);
    return menu.empty() ? 1 : 0;
}

int listBoxes(int, char**) {
    for (auto& b : platform::listMessageBoxes())
        printf("0x%llx\t%u\t%s\t%s\n", (unsigned long long)(uintptr_t)b.window, b.processId,
               platform::escapeField(b.caption).c_str(), platform::escapeField(b.text).c_str());
    return 0;
}

int keyState(int, char** argv) {
    unsigned long long v = 0;
    if (!parseNumber(argv[2], &v) || v == 0 || v > 255) return 2;
    platform::setKeyDown((int)v, !strcmp(argv[1], "keydown"));
    return 0;
}

int moveCursor(int, char** argv) {
    unsigned long long x = 0, y = 0;
    if (!parseNumber(argv[2], &x) || !parseNumber(argv[3], &y)) return 2;
    platform::setCursorPos((int)x, (int)y);
    return 0;
}

int clickTrayVerb(int argc, char** argv) {
    return clickTray(!strcmp(argv[1], "tray-dblclick"), argc == 3 ? argv[2] : nullptr);
}

int closeBoxVerb(int argc, char** argv) {
    return closeBox(!strcmp(argv[1], "msgbox-ok"), argc == 3 ? argv[2] : nullptr);
}

}  // namespace

const DriverVerb shellVerbs[] = {
    {"tray", "", 0, 0, [](int, char**) { return listTray(); },
     "one line per tray icon: owner, identifier, process id, icon resource, alive|dead, tip"},
    {"balloons", "", 0, 0, listBalloons, "every balloon shown so far, oldest first: owner, identifier, text"},
    {"tray-dblclick", "[owner]", 0, 1, clickTrayVerb, "double-click the first tray icon (or the owner's)"},
    {"tray-rclick", "[owner]", 0, 1, clickTrayVerb, "right-click the first tray icon (or the owner's)"},
    {"tray-reset", "", 0, 0,
     [](int, char**) {
         platform::clearTray();
         return 0;
     },
     "the shell restarted: every tray icon is gone"},
    {"menu", "", 0, 0, showMenu, "the open popup menu: depth, identifier, flags, text (exit 1: none open)"},
    {"choose", "<id>|<text>", 1, 1, [](int, char** argv) { return choose(argv[2]); },
     "choose an item of the open menu"},
    {"dismiss", "", 0, 0, [](int, char**) { return platform::chooseMenuItem(0) ? 0 : 1; },
     "close the open menu unchosen"},
    {"msgboxes", "", 0, 0, listBoxes, "open message boxes: window, process id, caption, text (escaped)"},
    {"msgbox-ok", "[window]", 0, 1, closeBoxVerb, "press OK in the first (or the given) message box"},
    {"msgbox-close", "[window]", 0, 1, closeBoxVerb, "close the first (or the given) message box"},
    {"keydown", "<vk>", 1, 1, keyState, "press a key (virtual-key code, 0x.. or decimal)"},
    {"keyup", "<vk>", 1, 1, keyState, "release a key"},
    {"tap", "<vk>... [--timeout ms]", 1, -1, [](int argc, char** argv) { return keys(argc, argv, 2); },
     "press each key until a program has seen it down, then release it"},
    {"cursor", "<x> <y>", 2, 2, moveCursor, "move the cursor"},
};
const size_t shellVerbCount = sizeof shellVerbs / sizeof shellVerbs[0];
