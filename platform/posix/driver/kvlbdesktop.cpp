// kvlbdesktop: the desktop of the root named by KVLB_ROOT, seen and driven from outside.
// Without arguments it lists its verbs, from the same tables that dispatch them.
//
// Exit code 0 on success, 2 for a bad command line, 1 when a step failed.
#include "platform/posix/driver/driver_verbs.h"
#include "platform/posix/win_internal.h"
#include "platform/win_user.h"

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
               w.threadId, flags.c_str(), platform::toUtf8(w.className).c_str(),
               platform::toUtf8(w.title).c_str());
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

const DriverVerb desktopVerbs[] = {
    {"windows", "", 0, 0, [](int, char**) { return listWindows(); },
     "one line per window: handle, process id, thread id, flags (topmost,session,child or -), class, title"},
    {"lock", "", 0, 0, [](int, char**) { return sessionChange(WTS_SESSION_LOCK); },
     "lock the session: every window registered for session notifications is told, in turn"},
    {"unlock", "", 0, 0, [](int, char**) { return sessionChange(WTS_SESSION_UNLOCK); }, "unlock the session"},
    {"connect", "", 0, 0, [](int, char**) { return sessionChange(WTS_CONSOLE_CONNECT); },
     "the console connects to the session"},
    {"disconnect", "", 0, 0, [](int, char**) { return sessionChange(WTS_CONSOLE_DISCONNECT); },
     "the console disconnects from the session"},
    {"remote-connect", "", 0, 0, [](int, char**) { return sessionChange(WTS_REMOTE_CONNECT); },
     "a remote connection to the session"},
    {"remote-disconnect", "", 0, 0, [](int, char**) { return sessionChange(WTS_REMOTE_DISCONNECT); },
     "the remote connection ends"},
    {"broadcast", "<message name>", 1, 1, [](int, char** argv) { return broadcast(argv[2]); },
     "send the registered window message (e.g. TaskbarCreated) to every top-level window"},
};

struct VerbList {
    const DriverVerb* verbs;
    size_t count;
};

const VerbList verbLists[] = {
    {desktopVerbs, sizeof desktopVerbs / sizeof desktopVerbs[0]},
    {shellVerbs, shellVerbCount},
};

int usage() {
    fprintf(stderr,
            "usage: kvlbdesktop <verb> [arguments]   (the desktop of KVLB_ROOT, else ~/.kvlbtessarion)\n");
    for (const auto& list : verbLists)
        for (size_t i = 0; i < list.count; ++i) {
            const DriverVerb& v = list.verbs[i];
            std::string line = std::string(v.name) + (*v.arguments ? " " : "") + v.arguments;
            fprintf(stderr, "  %-32s %s\n", line.c_str(), v.help);
        }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const int given = argc - 2;
    for (const auto& list : verbLists)
        for (size_t i = 0; i < list.count; ++i) {
            const DriverVerb& v = list.verbs[i];
            if (strcmp(argv[1], v.name) != 0) continue;
            if (given < v.minArgs || (v.maxArgs >= 0 && given > v.maxArgs)) return usage();
            return v.run(argc, argv);
        }
    return usage();
}
