// The shell half of the desktop: what a program does (tray, menus, boxes, keys, screen) and what
// the driver sees and does in return.
#include <gtest/gtest.h>
#include <png.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/tests/test_util.h"
#include "platform/win_shell.h"

namespace {

using test_support::pollUntil;

std::atomic<UINT> g_lastCommand{0};
std::atomic<int> g_commands{0};

LRESULT ownerProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_COMMAND) {
        g_lastCommand = (UINT)(wp & 0xFFFF);
        ++g_commands;
        return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

// A window of this thread to own icons and menus.
class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ownerProc;
        wc.lpszClassName = L"ShellTestOwner";
        RegisterClassW(&wc);
        owner = CreateWindowExW(0, L"ShellTestOwner", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner, nullptr);
        g_lastCommand = 0;
        g_commands = 0;
    }
    void TearDown() override {
        DestroyWindow(owner);
        UnregisterClassW(L"ShellTestOwner", nullptr);
    }
    std::vector<platform::TrayIcon> tray() {
        std::vector<platform::TrayIcon> icons(16);
        icons.resize((size_t)platform::listTrayIcons(icons.data(), 16));
        return icons;
    }
    NOTIFYICONDATAW record(UINT flags) {
        NOTIFYICONDATAW d{};
        d.cbSize = NOTIFYICONDATAW_VISTA_SIZE;
        d.hWnd = owner;
        d.uFlags = flags;
        d.uCallbackMessage = WM_USER + 1;
        return d;
    }
    platform::TestRoot root;
    HWND owner = nullptr;
};

TEST_F(ShellTest, TrayIconLivesFromAddToDeleteWithIconTipAndBalloonsInOrder) {
    NOTIFYICONDATAW d = record(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    d.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(101));
    wcscpy(d.szTip, L"KVLBTessarion");
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &d));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &d)) << "one icon per owner and identifier";
    auto icons = tray();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].iconResource, 101);
    EXPECT_STREQ(icons[0].tip, L"KVLBTessarion");
    EXPECT_EQ(icons[0].callbackMessage, (UINT)WM_USER + 1);

    NOTIFYICONDATAW m = d;
    m.uFlags = NIF_ICON | NIF_INFO;
    m.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(104));
    wcscpy(m.szInfo, L"first");
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &m));
    m.szInfo[0] = 0;  // takes the balloon down, shows none
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &m));
    wcscpy(m.szInfo, L"second\tline\n2");
    ASSERT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &m));
    EXPECT_EQ(tray()[0].iconResource, 104);
    EXPECT_STREQ(tray()[0].tip, L"KVLBTessarion") << "a modify without NIF_TIP keeps the tip";
    std::string log = platform::balloonLog();
    EXPECT_NE(log.find("\tfirst\n"), std::string::npos);
    EXPECT_LT(log.find("first"), log.find("second\\tline\\n2")) << log;

    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &d));
    EXPECT_TRUE(tray().empty());
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &d));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &m));
}

TEST_F(ShellTest, TrayRefusesBadRecordsAndWindows) {
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, nullptr));
    NOTIFYICONDATAW d = record(NIF_TIP);
    d.cbSize = 0;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &d));
    d = record(NIF_TIP);
    d.hWnd = (HWND)(uintptr_t)0x7777777;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &d));
    d = record(NIF_TIP);
    EXPECT_FALSE(Shell_NotifyIconW(99, &d));
    EXPECT_TRUE(tray().empty());
}

TEST_F(ShellTest, IconHandlesAreNumberedResourcesDestroyedOnce) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(105));
    ASSERT_NE(icon, nullptr);
    EXPECT_TRUE(DestroyIcon(icon));
    EXPECT_FALSE(DestroyIcon(icon));
    EXPECT_EQ(LoadIconW(nullptr, L"NAMED"), nullptr);
    EXPECT_EQ(LoadIconW(nullptr, nullptr), nullptr);
}

// The menu is tracked on this thread; the "user" chooses on another.
TEST_F(ShellTest, PopupMenuPostsTheChosenItemAndRefusesWhatCannotBeChosen) {
    HMENU menu = CreatePopupMenu();
    HMENU sub = CreatePopupMenu();
    ASSERT_TRUE(AppendMenuW(menu, MF_STRING, 61001, L"Stop"));
    ASSERT_TRUE(AppendMenuW(sub, MF_STRING | MF_CHECKED, 61008, L"English"));
    ASSERT_TRUE(AppendMenuW(menu, MF_POPUP, (UINT_PTR)sub, L"Language"));
    ASSERT_TRUE(AppendMenuW(menu, MF_SEPARATOR, 0, nullptr));
    ASSERT_TRUE(AppendMenuW(menu, MF_STRING | MF_GRAYED, 61099, L"Grey"));
    EXPECT_FALSE(AppendMenuW(menu, MF_POPUP, (UINT_PTR)menu, L"itself"));

    std::atomic<bool> refusals{false};
    std::thread user([&] {
        ASSERT_TRUE(pollUntil([] { return !platform::openMenuText().empty(); }));
        std::string shown = platform::openMenuText();
        EXPECT_NE(shown.find("0\t61001\t0\tStop\n"), std::string::npos) << shown;
        EXPECT_NE(shown.find("1\t61008\t8\tEnglish\n"), std::string::npos) << shown;
        refusals = !platform::chooseMenuItem(61099) && !platform::chooseMenuItem(12345);
        EXPECT_TRUE(platform::chooseMenuItem(61008));
    });
    EXPECT_TRUE(TrackPopupMenu(menu, TPM_RIGHTALIGN, 0, 0, 0, owner, nullptr));
    user.join();
    EXPECT_TRUE(refusals);
    EXPECT_TRUE(platform::openMenuText().empty());
    EXPECT_FALSE(platform::chooseMenuItem(61001)) << "no menu is open any more";
    ASSERT_TRUE(pollUntil([&] {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        return g_commands.load() > 0;
    }));
    EXPECT_EQ(g_lastCommand.load(), 61008u);
    EXPECT_TRUE(DestroyMenu(menu));
    EXPECT_FALSE(DestroyMenu(sub)) << "the popup went with its menu";
}

TEST_F(ShellTest, DismissedMenuSendsNothingAndReturnCmdGivesTheChoice) {
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 7, L"Seven");
    std::thread dismiss([] {
        ASSERT_TRUE(pollUntil([] { return !platform::openMenuText().empty(); }));
        EXPECT_TRUE(platform::chooseMenuItem(0));
    });
    EXPECT_TRUE(TrackPopupMenu(menu, 0, 0, 0, 0, owner, nullptr));
    dismiss.join();
    std::thread choose([] {
        ASSERT_TRUE(pollUntil([] { return !platform::openMenuText().empty(); }));
        EXPECT_TRUE(platform::chooseMenuItem(7));
    });
    EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, owner, nullptr), 7);
    choose.join();
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    EXPECT_EQ(g_commands.load(), 0);
    DestroyMenu(menu);
    EXPECT_FALSE(TrackPopupMenu(menu, 0, 0, 0, 0, owner, nullptr));
}

struct BoxCase {
    DWORD style;
    bool close;  // WM_CLOSE rather than OK
    int expected;
};

TEST_F(ShellTest, MessageBoxShowsCaptionAndTextUntilOkOrClose) {
    const BoxCase cases[] = {{MB_OK, false, IDOK}, {MB_OK, true, IDOK}, {MB_OKCANCEL, true, IDCANCEL}};
    for (auto& c : cases) {
        std::thread user([&] {
            std::vector<platform::MessageBoxInfo> boxes;
            ASSERT_TRUE(pollUntil([&] { return !(boxes = platform::listMessageBoxes()).empty(); }));
            EXPECT_EQ(boxes[0].caption, L"Caption");
            EXPECT_EQ(boxes[0].text, L"Line 1\n版本：2");
            if (c.close)
                PostMessageW(boxes[0].window, WM_CLOSE, 0, 0);
            else
                PostMessageW(boxes[0].window, WM_COMMAND, IDOK, 0);
        });
        MSGBOXPARAMSW p{};
        p.cbSize = sizeof p;
        p.lpszText = L"Line 1\n版本：2";
        p.lpszCaption = L"Caption";
        p.dwStyle = c.style | MB_USERICON | MB_SETFOREGROUND;
        EXPECT_EQ(MessageBoxIndirectW(&p), c.expected);
        user.join();
        EXPECT_TRUE(platform::listMessageBoxes().empty());
        EXPECT_EQ(FindWindowW(nullptr, L"Caption"), nullptr);
    }
    EXPECT_EQ(MessageBoxIndirectW(nullptr), 0);
}

TEST_F(ShellTest, MessageBoxKeepsTheThreadsOtherWindowsWorking) {
    std::thread user([&] {
        ASSERT_TRUE(pollUntil([] { return !platform::listMessageBoxes().empty(); }));
        SendMessageW(owner, WM_COMMAND, 42, 0);  // handled inside the box's loop
        PostMessageW(platform::listMessageBoxes()[0].window, WM_COMMAND, IDOK, 0);
    });
    MSGBOXPARAMSW p{};
    p.cbSize = sizeof p;
    p.lpszText = L"t";
    p.lpszCaption = L"c";
    EXPECT_EQ(MessageBoxIndirectW(&p), IDOK);
    user.join();
    EXPECT_EQ(g_lastCommand.load(), 42u);
}

TEST(ShellKeys, KeyStateFollowsTheDriverAndATapWaitsUntilSeen) {
    platform::TestRoot root;
    EXPECT_GE(GetKeyState(VK_SNAPSHOT), 0);
    platform::setKeyDown(VK_SNAPSHOT, true);
    EXPECT_LT(GetKeyState(VK_SNAPSHOT), 0);
    EXPECT_GE(GetKeyState(VK_PRINT), 0);
    platform::setKeyDown(VK_SNAPSHOT, false);
    EXPECT_GE(GetKeyState(VK_SNAPSHOT), 0);
    EXPECT_EQ(GetKeyState(-1), 0);
    EXPECT_EQ(GetKeyState(300), 0);

    EXPECT_FALSE(platform::tapKey(0x41, 100)) << "nobody looked at the key";
    EXPECT_GE(GetKeyState(0x41), 0) << "released after the tap";
    std::atomic<bool> stop{false};
    std::atomic<int> seenDown{0};
    std::thread watcher([&] {
        while (!stop) {
            if (GetKeyState(0x41) < 0) ++seenDown;
            Sleep(20);
        }
    });
    EXPECT_TRUE(platform::tapKey(0x41, 20000));
    stop = true;
    watcher.join();
    EXPECT_GE(seenDown.load(), 1);
}

// A slow watcher that waits for each release still counts two taps of one key as two presses.
TEST(ShellKeys, TwoTapsOfOneKeyAreTwoPresses) {
    platform::TestRoot root;
    std::atomic<bool> stop{false};
    std::atomic<int> presses{0};
    std::thread watcher([&] {
        while (!stop) {
            if (GetKeyState(0x26) < 0) {
                ++presses;
                while (GetKeyState(0x26) < 0 && !stop) Sleep(50);
            }
            Sleep(50);
        }
    });
    EXPECT_TRUE(platform::tapKey(0x26, 20000));
    EXPECT_TRUE(platform::tapKey(0x26, 20000));
    stop = true;
    watcher.join();
    EXPECT_EQ(presses.load(), 2);
}

TEST(ShellCursor, CursorAndForegroundWindow) {
    platform::TestRoot root;
    POINT p{};
    ASSERT_TRUE(GetCursorPos(&p));
    platform::setCursorPos(12, 34);
    ASSERT_TRUE(GetCursorPos(&p));
    EXPECT_EQ(p.x, 12);
    EXPECT_EQ(p.y, 34);
    EXPECT_FALSE(GetCursorPos(nullptr));
    EXPECT_FALSE(SetForegroundWindow((HWND)(uintptr_t)0x5555));
}

// Reads a PNG back: width, height and RGB rows.
bool readPng(const std::string& path, int* w, int* h, std::vector<unsigned char>* rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    bool ok = png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr) != 0;
    *w = (int)image.width;
    *h = (int)image.height;
    return ok;
}

TEST(ShellScreen, ScreenCapturedThroughBitBltIsSavedAsPng) {
    platform::TestRoot root;
    platform::setSetting("screen", "4x3");
    std::string pixels;
    for (int i = 0; i < 4 * 3; ++i)
        pixels += std::string{(char)(i * 10), (char)(i * 10 + 1), (char)(i * 10 + 2)};
    testutil::spit(root.path() + "/desktop/screen.rgb", pixels);

    HDC screen = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(GetDeviceCaps(screen, HORZRES), 4);
    EXPECT_EQ(GetDeviceCaps(screen, VERTRES), 3);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 4, 3);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    ASSERT_NE(previous, nullptr);
    ASSERT_TRUE(BitBlt(memory, 0, 0, 4, 3, screen, 0, 0, SRCCOPY));
    EXPECT_FALSE(DeleteObject(bitmap)) << "still selected";
    SelectObject(memory, previous);

    ASSERT_EQ(SaveBitmapAsPngW(bitmap, L"C:\\shot.png"), S_OK);
    int w = 0, h = 0;
    std::vector<unsigned char> back;
    ASSERT_TRUE(readPng(root.c("shot.png"), &w, &h, &back));
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(std::string(back.begin(), back.end()), pixels);

    EXPECT_EQ(SaveBitmapAsPngW(bitmap, L"C:\\no such folder\\shot.png"), E_FAIL);
    EXPECT_EQ(SaveBitmapAsPngW(nullptr, L"C:\\x.png"), E_INVALIDARG);
    EXPECT_TRUE(DeleteObject(bitmap));
    EXPECT_TRUE(DeleteDC(memory));
    EXPECT_TRUE(DeleteDC(screen));
    EXPECT_FALSE(DeleteDC(screen));
    EXPECT_EQ(CreateDCW(L"PRINTER", nullptr, nullptr, nullptr), nullptr);
}

TEST(ShellScreen, BlankScreenOfTheDefaultSizeWithoutAPicture) {
    platform::TestRoot root;
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(GetDeviceCaps(screen, HORZRES), 1024);
    EXPECT_EQ(GetDeviceCaps(screen, VERTRES), 768);
    ReleaseDC(nullptr, screen);
}

TEST(ShellLocale, WindowsNamesFromThePosixLocaleOrTheRootSetting) {
    platform::TestRoot root;
    const struct {
        const char* posix;
        const char* windows;
    } cases[] = {
        {"zh_TW.UTF-8", "Chinese (Traditional)_Taiwan.950"},
        {"zh_CN.UTF-8", "Chinese (Simplified)_China.936"},
        {"en_US.UTF-8", "English_United States.1252"},
        {"ja_JP.UTF-8", "Japanese_Japan.932"},
        {"de_AT@euro", "German_Germany.1252"},
        {"C", "C"},
        {"POSIX", "C"},
        {"xx_YY", "C"},
    };
    std::string saved = getenv("LANG") ? getenv("LANG") : "";
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    for (auto& c : cases) {
        setenv("LANG", c.posix, 1);
        EXPECT_STREQ(winSetlocale(LC_ALL, ""), c.windows) << c.posix;
        EXPECT_STREQ(winSetlocale(LC_ALL, nullptr), c.windows);
    }
    platform::setSetting("locale", "ja_JP");
    EXPECT_STREQ(winSetlocale(LC_ALL, ""), "Japanese_Japan.932") << "the root's setting wins";
    platform::setSetting("locale", "Korean_Korea.949");
    EXPECT_STREQ(winSetlocale(LC_ALL, ""), "Korean_Korea.949") << "a Windows name stands as it is";
    if (saved.empty())
        unsetenv("LANG");
    else
        setenv("LANG", saved.c_str(), 1);
}

TEST(ShellFolders, DesktopFolderWideAndNarrow) {
    platform::TestRoot root;
    wchar_t wide[MAX_PATH];
    char narrow[MAX_PATH];
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, wide, CSIDL_DESKTOPDIRECTORY, TRUE));
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, narrow, CSIDL_DESKTOPDIRECTORY, FALSE));
    EXPECT_EQ(std::wstring(wide), testutil::wide(narrow));
    EXPECT_NE(std::wstring(wide).find(L"\\Desktop"), std::wstring::npos);
    EXPECT_NE(GetFileAttributesW(wide), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, nullptr, CSIDL_DESKTOPDIRECTORY, FALSE));
}

}  // namespace
