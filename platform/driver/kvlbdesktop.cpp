// kvlbdesktop: the desktop of the root named by KVLB_ROOT, seen and driven from outside.
//
//   kvlbdesktop windows                 one line per window, tab-separated:
//                                       handle, process id, thread id, flags, class, title
//                                       (flags: "topmost", "session", "child" joined by ",", or "-")
//   kvlbdesktop lock | unlock | connect | disconnect | remote-connect | remote-disconnect
//                                       WM_WTSSESSION_CHANGE to every window registered for session
//                                       notifications; returns once each has handled it
//   kvlbdesktop broadcast <name>        the registered window message <name> (e.g. TaskbarCreated)
//                                       sent to every top-level window
//
// Exit code 0 on success, 2 for a bad command line, 1 when a step failed.
#include "platform/win_user.h"
#include "platform/win_internal.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A window that does not answer within this time is skipped, so one hung program cannot
// hold up the driver.
constexpr UINT kAnswerTimeoutMs = 10000;

std::wstring wide(const char* s) {
    // names on the command line are ASCII in practice; other bytes pass through one by one
    std::wstring out;
    for (; *s; ++s) out += (wchar_t)(unsigned char)*s;
    return out;
}

std::vector<platform::DesktopWindow> allWindows() {
    std::vector<platform::DesktopWindow> list(8192);
    int n = platform::listDesktopWindows(list.data(), (int)list.size());
    list.resize((size_t)n);
    return list;
}

int listWindows() {
    for (auto& w : allWindows()) {
        std::string flags;
        auto add = [&](const char* f) {
            if (!flags.empty()) flags.push_back(',');
            flags.append(f);
        };
        if (w.exStyle & WS_EX_TOPMOST) add("topmost");
        if (w.sessionNotify) add("session");
        if (w.style & WS_CHILD) add("child");
        if (flags.empty()) flags.push_back('-');
        printf("0x%08llx\t%u\t%u\t%s\t%s\t%s\n", (unsigned long long)(uintptr_t)w.window, w.processId,
               w.threadId, flags.c_str(), platform::toUtf8(w.className).c_str(), platform::toUtf8(w.title).c_str());
    }
    return 0;
}

int sessionChange(WPARAM code) {
    for (auto& w : allWindows()) {
        if (!w.sessionNotify) continue;
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(w.window, WM_WTSSESSION_CHANGE, code, 1, SMTO_NORMAL, kAnswerTimeoutMs, &answer);
    }
    return 0;
}

int broadcast(const char* name) {
    UINT message = RegisterWindowMessageW(wide(name).c_str());
    if (!message) {
        fprintf(stderr, "kvlbdesktop: cannot register the message %s\n", name);
        return 1;
    }
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(HWND_BROADCAST, message, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &answer);
    return 0;
}

int usage() {
    fprintf(stderr,
            "usage: kvlbdesktop windows\n"
            "       kvlbdesktop lock|unlock|connect|disconnect|remote-connect|remote-disconnect\n"
            "       kvlbdesktop broadcast <message name>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const char* verb = argv[1];
    static const struct {
        const char* name;
        WPARAM code;
    } sessionVerbs[] = {
        {"connect", WTS_CONSOLE_CONNECT},
        {"disconnect", WTS_CONSOLE_DISCONNECT},
        {"remote-connect", WTS_REMOTE_CONNECT},
        {"remote-disconnect", WTS_REMOTE_DISCONNECT},
        {"lock", WTS_SESSION_LOCK},
        {"unlock", WTS_SESSION_UNLOCK},
    };
    if (!strcmp(verb, "windows") && argc == 2) return listWindows();
    if (!strcmp(verb, "broadcast") && argc == 3) return broadcast(argv[2]);
    for (auto& s : sessionVerbs)
        if (!strcmp(verb, s.name) && argc == 2) return sessionChange(s.code);
    int runShellVerb(int argc, char** argv);  // desktop_shell.cpp: tray, menus, boxes, keys
    if (int shell = runShellVerb(argc, argv); shell >= 0) return shell;
    return usage();
}
