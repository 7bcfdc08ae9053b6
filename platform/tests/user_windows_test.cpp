// Desktop windows and messages: classes and windows of the root's desktop, message loops, sends
// between threads and between processes, WM_COPYDATA, registered messages, session changes from
// the desktop driver, and windows of dead processes.
#include "platform/win_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/test_root.h"
#include "platform/test_support.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

using test_support::pollUntil;

// ---- a window run on its own thread, recording what reaches it --------------------------------

struct Seen {
    std::atomic<int> count{0};
    std::atomic<UINT> lastMessage{0};
    std::atomic<WPARAM> lastW{0};
    std::atomic<DWORD> handlerThread{0};
    std::atomic<bool> destroyed{false};
};
Seen* g_seen;
std::atomic<UINT> g_watched{0};  // a message the recording procedure also records

LRESULT CALLBACK recordingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_USER + 1 || m == WM_WTSSESSION_CHANGE || (g_watched && m == g_watched)) {
        g_seen->lastMessage = m;
        g_seen->lastW = wp;
        g_seen->handlerThread = GetCurrentThreadId();
        g_seen->count++;
        return (LRESULT)(wp * 2);
    }
    if (m == WM_DESTROY) {
        g_seen->destroyed = true;
        PostQuitMessage(7);
        return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

void registerClass(const wchar_t* name, WNDPROC proc) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = proc;
    wc.lpszClassName = name;
    ASSERT_NE(RegisterClassW(&wc), 0);
}

// A thread with one window of the class and a message loop, ended by WM_CLOSE.
struct WindowThread {
    std::thread thread;
    std::atomic<HWND> window{nullptr};
    std::atomic<int> loopResult{-100};
    std::atomic<WPARAM> quitCode{0};
    std::atomic<DWORD> tid{0};
    WindowThread(const wchar_t* cls, const wchar_t* title, bool notify = false) {
        thread = std::thread([=, this] {
            tid = GetCurrentThreadId();
            HWND h = CreateWindowExW(0, cls, title, 8, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
            if (h && notify) WTSRegisterSessionNotification(h, NOTIFY_FOR_THIS_SESSION);
            window = h;
            if (!h) return;
            MSG msg;
            int r;
            while ((r = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            quitCode = msg.wParam;
            loopResult = r;
        });
        pollUntil([&] { return window.load() != nullptr; });
    }
    void close() {
        if (window) PostMessageW(window, WM_CLOSE, 0, 0);
        if (thread.joinable()) thread.join();
    }
    ~WindowThread() { close(); }
};

std::string runDriver(const std::string& args, int* exitCode = nullptr) {
    std::string cmd = std::string(KVLB_BIN_DIR) + "/kvlbdesktop " + args;
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    int status = p ? pclose(p) : -1;
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// ---- helper process: the same test program started with KVLB_USER_HELPER ---------------------

constexpr UINT kAskBack = WM_USER + 5;  // helper sends kAnswer to the window in wParam
constexpr UINT kAnswer = WM_USER + 6;
constexpr UINT kDieNow = WM_USER + 7;  // helper ends while the sender waits
constexpr UINT kPosted = WM_USER + 8;  // helper writes down the values

std::string g_helperOut;

LRESULT CALLBACK helperProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    switch (m) {
        case WM_COPYDATA: {
            auto* cds = (COPYDATASTRUCT*)lp;
            std::ofstream f(g_helperOut, std::ios::binary);
            f << cds->dwData << ' ' << cds->cbData << ' ' << (cds->lpData ? "data" : "null") << '\n';
            if (cds->lpData) f.write((const char*)cds->lpData, cds->cbData);
            return 1234;
        }
        case kPosted: {
            std::ofstream(g_helperOut, std::ios::binary) << "posted " << wp << ' ' << lp;
            return 0;
        }
        case kAskBack:
            return SendMessageW((HWND)wp, kAnswer, 41, 0) + 1;
        case kDieNow:
            _exit(3);
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

int helperMain() {
    g_helperOut = std::string(getenv("KVLB_ROOT")) + "/helper.out";
    WNDCLASSW wc{};
    wc.lpfnWndProc = helperProc;
    wc.lpszClassName = L"UserTestHelper";
    if (!RegisterClassW(&wc)) return 10;
    if (!CreateWindowExW(0, L"UserTestHelper", L"Helper Title", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                         nullptr))
        return 11;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

pid_t startHelper() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    env.push_back("KVLB_USER_HELPER=1");
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return -1;
    return pid;
}

// ============================================================================================

TEST(UserWindows, WindowIsOnTheDesktopWithItsOwnerClassAndTitleUntilDestroyed) {
    platform::TestRoot root;
    Seen seen;
    g_seen = &seen;
    registerClass(L"UserTest.Basic", recordingProc);
    HWND h;
    DWORD ownerTid;
    {
        WindowThread t(L"UserTest.Basic", L"Basic Title");
        h = t.window;
        ASSERT_NE(h, nullptr);
        ownerTid = t.tid;

        // found by class and title without regard to case; NULL matches any
        EXPECT_EQ(FindWindowW(L"usertest.basic", nullptr), h);
        EXPECT_EQ(FindWindowW(nullptr, L"BASIC TITLE"), h);
        EXPECT_EQ(FindWindowW(L"UserTest.Basic", L"Other"), nullptr);
        EXPECT_EQ(FindWindowExW(nullptr, h, L"UserTest.Basic", nullptr), nullptr);

        DWORD pid = 0;
        EXPECT_EQ(GetWindowThreadProcessId(h, &pid), ownerTid);
        EXPECT_EQ(pid, (DWORD)getpid());
        wchar_t text[8];
        EXPECT_EQ(GetWindowTextW(h, text, 8), 7);  // cut to the room given, always terminated
        EXPECT_STREQ(text, L"Basic T");
        wchar_t cls[64];
        GetClassNameW(h, cls, 64);
        EXPECT_STREQ(cls, L"UserTest.Basic");

        struct Ctx {
            HWND want;
            bool found;
        } ctx{h, false};
        EnumWindows(
            [](HWND w, LPARAM p) -> BOOL {
                auto* c = (Ctx*)p;
                if (w == c->want) c->found = true;
                return TRUE;
            },
            (LPARAM)&ctx);
        EXPECT_TRUE(ctx.found);

        EXPECT_EQ(GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
        EXPECT_TRUE(SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
        EXPECT_EQ(GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOPMOST, (LONG)WS_EX_TOPMOST);
        EXPECT_TRUE(SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOZORDER));  // NOZORDER: unchanged
        EXPECT_EQ(GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOPMOST, (LONG)WS_EX_TOPMOST);

        // the class stays while a window of it lives; a second registration is refused
        EXPECT_FALSE(UnregisterClassW(L"UserTest.Basic", nullptr));
        EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
        WNDCLASSW again{};
        again.lpfnWndProc = recordingProc;
        again.lpszClassName = L"USERTEST.BASIC";
        EXPECT_EQ(RegisterClassW(&again), 0);
        // only the owning thread destroys it
        EXPECT_FALSE(DestroyWindow(h));
        t.close();
        EXPECT_EQ(t.loopResult, 0);
        EXPECT_EQ(t.quitCode, 7u);
    }
    EXPECT_TRUE(seen.destroyed);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(FindWindowW(L"UserTest.Basic", nullptr), nullptr);
    EXPECT_TRUE(UnregisterClassW(L"UserTest.Basic", nullptr));
}

TEST(UserWindows, SendIsHandledOnTheOwningThreadAndPostArrivesThroughTheLoop) {
    platform::TestRoot root;
    Seen seen;
    g_seen = &seen;
    registerClass(L"UserTest.Send", recordingProc);
    {
        WindowThread t(L"UserTest.Send", L"");
        ASSERT_NE(t.window.load(), nullptr);
        EXPECT_EQ(SendMessageW(t.window, WM_USER + 1, 21, 0), 42);
        EXPECT_EQ(seen.handlerThread, t.tid.load());
        EXPECT_TRUE(PostMessageW(t.window, WM_USER + 1, 5, 0));
        EXPECT_TRUE(pollUntil([&] { return seen.count == 2; }));
        EXPECT_EQ(seen.lastW, 5u);
    }
    UnregisterClassW(L"UserTest.Send", nullptr);
}

LRESULT CALLBACK refuseCreate(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_CREATE) return -1;
    return DefWindowProcW(w, m, wp, lp);
}

TEST(UserWindows, RefusedCreationAndEndedThreadLeaveNoWindow) {
    platform::TestRoot root;
    registerClass(L"UserTest.Refuse", refuseCreate);
    EXPECT_EQ(CreateWindowExW(0, L"UserTest.Refuse", L"x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(FindWindowW(L"UserTest.Refuse", nullptr), nullptr);
    EXPECT_EQ(CreateWindowExW(0, L"NoSuchClass", L"x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    UnregisterClassW(L"UserTest.Refuse", nullptr);

    registerClass(L"UserTest.Orphan", DefWindowProcW);
    HWND h = nullptr;
    std::thread([&] {
        h = CreateWindowExW(0, L"UserTest.Orphan", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }).join();
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(IsWindow(h));  // a window goes with the thread that made it
    EXPECT_EQ(SendMessageW(h, WM_USER, 0, 0), 0);
    EXPECT_TRUE(UnregisterClassW(L"UserTest.Orphan", nullptr));
}

TEST(UserWindows, QuitEndsTheLoopAfterPostedMessagesAndPeekDoesNotWait) {
    platform::TestRoot root;
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_USER + 3, 1, 2));
    PostQuitMessage(4);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 3);
    EXPECT_GT(GetMessageW(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, WM_USER + 3);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 4u);
}

TEST(UserWindows, RegisteredMessagesAreSharedNumbersFromC000) {
    platform::TestRoot root;
    UINT a = RegisterWindowMessageW(L"TaskbarCreated");
    UINT b = RegisterWindowMessageW(L"Another");
    EXPECT_GE(a, 0xC000u);
    EXPECT_NE(a, b);
    EXPECT_EQ(RegisterWindowMessageW(L"taskbarcreated"), a);
    EXPECT_EQ(RegisterWindowMessageW(L""), 0u);
    // another process of the root gets the same number (the driver registers it to broadcast)
    Seen seen;
    g_seen = &seen;
    g_watched = a;
    registerClass(L"UserTest.Broadcast", recordingProc);
    {
        WindowThread t(L"UserTest.Broadcast", L"");
        int code = -1;
        runDriver("broadcast TaskbarCreated", &code);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(seen.count, 1);  // the driver returns once the window has handled it
        EXPECT_EQ(seen.lastMessage, a);
    }
    g_watched = 0;
    UnregisterClassW(L"UserTest.Broadcast", nullptr);
}

TEST(UserWindows, DriverListsWindowsAndSendsSessionChangesToRegisteredWindowsOnly) {
    platform::TestRoot root;
    Seen seen;
    g_seen = &seen;
    registerClass(L"UserTest.Session", recordingProc);
    registerClass(L"UserTest.Quiet", recordingProc);  // records too, were it sent anything
    {
        WindowThread t(L"UserTest.Session", L"Session Window", true);
        WindowThread quiet(L"UserTest.Quiet", L"Quiet Window");
        SetWindowPos(quiet.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

        std::string list = runDriver("windows");
        char line[256];
        snprintf(line, sizeof line, "0x%08llx\t%d\t%u\tsession\tUserTest.Session\tSession Window\n",
                 (unsigned long long)(uintptr_t)t.window.load(), (int)getpid(), (unsigned)t.tid);
        EXPECT_NE(list.find(line), std::string::npos) << list;
        EXPECT_NE(list.find("\ttopmost\tUserTest.Quiet\tQuiet Window\n"), std::string::npos) << list;

        static const struct {
            const char* verb;
            WPARAM code;
        } cases[] = {
            {"lock", WTS_SESSION_LOCK},
            {"unlock", WTS_SESSION_UNLOCK},
            {"disconnect", WTS_CONSOLE_DISCONNECT},
            {"connect", WTS_CONSOLE_CONNECT},
            {"remote-disconnect", WTS_REMOTE_DISCONNECT},
            {"remote-connect", WTS_REMOTE_CONNECT},
        };
        int expected = 0;
        for (auto& c : cases) {
            int code = -1;
            runDriver(c.verb, &code);
            EXPECT_EQ(code, 0) << c.verb;
            EXPECT_EQ(seen.count, ++expected) << c.verb;
            EXPECT_EQ(seen.lastMessage, WM_WTSSESSION_CHANGE);
            EXPECT_EQ(seen.lastW, c.code) << c.verb;
        }
        int code = -1;
        runDriver("sleep", &code);
        EXPECT_EQ(code, 2);
    }
    UnregisterClassW(L"UserTest.Session", nullptr);
    UnregisterClassW(L"UserTest.Quiet", nullptr);
}

TEST(UserWindows, DriverWithoutArgumentsListsEveryVerb) {
    int code = -1;
    std::string usage = runDriver("2>&1", &code);
    EXPECT_EQ(code, 2);
    for (const char* verb :
         {"windows",           "lock",      "unlock", "connect",  "disconnect",    "remote-connect",
          "remote-disconnect", "broadcast", "tray",   "balloons", "tray-dblclick", "tray-rclick",
          "tray-reset",        "menu",      "choose", "dismiss",  "msgboxes",      "msgbox-ok",
          "msgbox-close",      "keydown",   "keyup",  "tap",      "cursor"})
        EXPECT_NE(usage.find(std::string("\n  ") + verb + " "), std::string::npos) << verb << "\n" << usage;
}

LRESULT CALLBACK answerProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == kAnswer) return (LRESULT)wp;
    return DefWindowProcW(w, m, wp, lp);
}

TEST(UserWindows, OtherProcessGetsCopyDataBytesAndCanSendBackWhileTheSenderWaits) {
    platform::TestRoot root;
    pid_t pid = startHelper();
    ASSERT_GT(pid, 0);
    HWND helper = nullptr;
    EXPECT_TRUE(
        pollUntil([&] { return (helper = FindWindowW(L"UserTestHelper", L"Helper Title")) != nullptr; }));
    ASSERT_NE(helper, nullptr);

    const char bytes[] = "{\"a\":1}\0tail";
    COPYDATASTRUCT cds{77, sizeof bytes, (void*)bytes};
    EXPECT_EQ(SendMessageW(helper, WM_COPYDATA, 0, (LPARAM)&cds), 1234);
    std::ifstream f(root.path() + "/helper.out", std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, "77 " + std::to_string(sizeof bytes) + " data\n" + std::string(bytes, sizeof bytes));

    COPYDATASTRUCT none{0, 5, nullptr};  // no data crosses as no data, never as a wild pointer
    EXPECT_EQ(SendMessageW(helper, WM_COPYDATA, 0, (LPARAM)&none), 1234);
    std::ifstream f2(root.path() + "/helper.out", std::ios::binary);
    std::string got2((std::istreambuf_iterator<char>(f2)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got2, "0 0 null\n");

    EXPECT_TRUE(PostMessageW(helper, kPosted, 5, -6));
    EXPECT_TRUE(pollUntil([&] {
        std::ifstream f3(root.path() + "/helper.out", std::ios::binary);
        std::string s((std::istreambuf_iterator<char>(f3)), std::istreambuf_iterator<char>());
        return s == "posted 5 -6";
    }));

    // the helper's procedure sends to our window while we wait in SendMessage
    registerClass(L"UserTest.Answer", answerProc);
    HWND mine =
        CreateWindowExW(0, L"UserTest.Answer", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(SendMessageW(helper, kAskBack, (WPARAM)mine, 0), 42);
    DestroyWindow(mine);
    UnregisterClassW(L"UserTest.Answer", nullptr);

    // the helper dies while handling a send: the sender is answered with a failure
    auto start = Clock::now();
    EXPECT_EQ(SendMessageW(helper, kDieNow, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    // gone from the desktop, and later sends fail at once
    EXPECT_FALSE(IsWindow(helper));
    EXPECT_EQ(FindWindowW(L"UserTestHelper", nullptr), nullptr);
    EXPECT_EQ(SendMessageW(helper, WM_USER, 0, 0), 0);
    EXPECT_FALSE(PostMessageW(helper, WM_USER, 0, 0));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(UserWindows, WindowOfAKilledProcessDisappears) {
    platform::TestRoot root;
    pid_t pid = startHelper();
    ASSERT_GT(pid, 0);
    HWND helper = nullptr;
    ASSERT_TRUE(pollUntil([&] { return (helper = FindWindowW(L"UserTestHelper", nullptr)) != nullptr; }));
    kill(pid, SIGKILL);
    // a zombie not yet reaped already counts as dead
    EXPECT_TRUE(pollUntil([&] { return !IsWindow(helper); }));
    EXPECT_EQ(SendMessageW(helper, WM_USER, 0, 0), 0);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(runDriver("windows"), "");
}

}  // namespace

int main(int argc, char** argv) {
    if (getenv("KVLB_USER_HELPER")) return helperMain();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
