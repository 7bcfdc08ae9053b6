// Processes from Windows command lines, exit codes, the machine's process list and its end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/win_base.h"
#include "platform/posix/win_internal.h"
#include "test_util.h"

namespace {

using test_support::pollUntil;
using testutil::installChild;
using testutil::run;
using testutil::slurp;
using testutil::start;

TEST(CommandLine, SplitByWindowsRules) {
    struct Case {
        const wchar_t* line;
        std::vector<std::wstring> args;
    };
    const Case cases[] = {
        {L"prog a b", {L"prog", L"a", L"b"}},
        {L"  prog   a\t b  ", {L"prog", L"a", L"b"}},
        {L"\"C:\\Program Files\\p.exe\" x", {L"C:\\Program Files\\p.exe", L"x"}},
        {L"p \"a b\" c", {L"p", L"a b", L"c"}},
        {L"p a\\\\b", {L"p", L"a\\\\b"}},        // backslashes alone are plain
        {L"p a\\\"b", {L"p", L"a\"b"}},          // \" is a quote
        {L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},  // \\" is a backslash, then a quote opens
        {L"p \"a\"\"b\"", {L"p", L"a\"b"}},      // "" inside quotes is one quote
        {L"p \"\"", {L"p", L""}},
        {L"C:\\dir\\p.exe a", {L"C:\\dir\\p.exe", L"a"}},  // the program name keeps its backslashes
        {L"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.args, platform::splitCommandLine(c.line)) << std::string(c.line, c.line + wcslen(c.line));
        // Joining and splitting again gives the same arguments.
        if (!c.args.empty()) {
            EXPECT_EQ(c.args, platform::splitCommandLine(platform::joinCommandLine(c.args)));
        }
    }
}

TEST(Process, ExitCodesAsGiven) {
    platform::TestRoot root;
    std::wstring child = installChild(L"C:\\Apps\\KVLBChild.exe");
    for (long code : {0L, 3L, 255L, 256L, 70000L}) {
        EXPECT_EQ(code, run(child + L" exit " + std::to_wstring(code))) << code;
    }
}

TEST(Process, ChildSeesItsCommandLineAndTheMachine) {
    platform::TestRoot root;
    installChild(L"C:\\Windows\\System32\\KVLBChild.exe");
    // A bare name without extension is found in the system folder, ignoring case.
    std::wstring line = L"kvlbchild cmdline C:\\seen.txt \"two words\" a\\\"q";
    EXPECT_EQ(0, run(line));
    EXPECT_EQ("C:\\seen.txt\ntwo words\na\"q\n" + platform::toUtf8(line), slurp(root.c("seen.txt")));
}

TEST(Process, StartFailures) {
    platform::TestRoot root;
    wchar_t line[] = L"NoSuchProgram.exe -x";
    STARTUPINFOW si;
    GetStartupInfoW(&si);
    PROCESS_INFORMATION pi{};
    EXPECT_FALSE(
        CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    wchar_t empty[] = L"   ";
    EXPECT_FALSE(CreateProcessW(nullptr, empty, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
}

DWORD findImage(const wchar_t* image, DWORD pid) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0);
    PROCESSENTRY32W e;
    e.dwSize = sizeof e;
    DWORD found = 0;
    for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e)) {
        if (std::wstring(e.szExeFile) == image && (pid == 0 || e.th32ProcessID == pid))
            found = e.th32ProcessID;
    }
    CloseHandle(snap);
    return found;
}

TEST(Process, ListsImageNamesAndTerminatesWithTheCode) {
    platform::TestRoot root;
    std::wstring child = installChild(L"C:\\Apps\\KVLBTessarionMain.exe");
    DWORD pid = 0;
    HANDLE p = start(child + L" sleep 60000", &pid);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(p, 0));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(p, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(pid, findImage(L"KVLBTessarionMain.exe", pid));

    // The psapi way sees the same name.
    DWORD ids[1024], bytes = 0;
    ASSERT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
    bool seen = false;
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
        if (ids[i] != pid) continue;
        HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        HMODULE mod;
        DWORD needed;
        wchar_t name[MAX_PATH];
        ASSERT_TRUE(EnumProcessModules(h, &mod, sizeof mod, &needed));
        ASSERT_GT(GetModuleBaseNameW(h, mod, name, MAX_PATH), 0u);
        EXPECT_STREQ(L"KVLBTessarionMain.exe", name);
        CloseHandle(h);
        seen = true;
    }
    EXPECT_TRUE(seen);

    // Another machine does not see this one's processes.
    {
        platform::TestRoot other;
        EXPECT_EQ(0u, findImage(L"KVLBTessarionMain.exe", pid));
    }

    HANDLE killer = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(nullptr, killer);
    ASSERT_TRUE(TerminateProcess(killer, 9));
    CloseHandle(killer);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p, 20000));
    ASSERT_TRUE(GetExitCodeProcess(p, &code));
    EXPECT_EQ(9u, code);
    CloseHandle(p);
    EXPECT_TRUE(pollUntil([&] { return findImage(L"KVLBTessarionMain.exe", pid) == 0; }));
}

TEST(Process, ALinkedProgramRunsUnderTheLinksName) {
    platform::TestRoot root;
    CreateDirectoryW(L"C:\\Apps", nullptr);
    ASSERT_EQ(0, symlink(KVLB_TEST_DIR "/kvlb_test_child", root.c("Apps/Au_.exe").c_str()));
    DWORD pid = 0;
    HANDLE p = start(L"C:\\Apps\\Au_.exe sleep 60000", &pid);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(pid, findImage(L"Au_.exe", pid));
    TerminateProcess(p, 1);
    WaitForSingleObject(p, 20000);
    CloseHandle(p);
}

TEST(Process, TaskkillByImageNameIgnoringCase) {
    platform::TestRoot root;
    std::wstring child = installChild(L"C:\\Apps\\KVLBTessarionMonitor.exe");
    HANDLE a = start(child + L" sleep 60000");
    HANDLE b = start(child + L" sleep 60000");
    ASSERT_TRUE(a && b);
    // Run directly, without cmd.
    EXPECT_EQ(0, run(L"taskkill /F /im kvlbtessarionmonitor.EXE /F"));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 20000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(b, 20000));
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_EQ(128, run(L"taskkill /F /im KVLBTessarionMonitor.exe"));
    EXPECT_EQ(1, run(L"taskkill /F"));
}

// A program started hidden writes to a console no one sees: a failing cmd on a fresh machine
// must not put its complaints on the caller's terminal. A visible one shares that terminal.
TEST(Process, HiddenProgramsWriteToNoTerminal) {
    platform::TestRoot root;
    const std::string terminal = root.path() + "/terminal.txt";
    auto runCaptured = [&](DWORD flags, const std::wstring& line) {
        fflush(stdout);
        fflush(stderr);
        int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
        int fd = open(terminal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
        std::wstring buffer = line;
        STARTUPINFOW si;
        GetStartupInfoW(&si);
        PROCESS_INFORMATION pi{};
        long code = -1;
        if (CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si,
                           &pi)) {
            WaitForSingleObject(pi.hProcess, INFINITE);
            DWORD exitCode = 0;
            GetExitCodeProcess(pi.hProcess, &exitCode);
            code = (long)exitCode;
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        dup2(savedOut, STDOUT_FILENO);
        dup2(savedErr, STDERR_FILENO);
        close(savedOut);
        close(savedErr);
        return std::make_pair(code, slurp(terminal));
    };
    const struct {
        const wchar_t* line;
        long code;
        const char* text;
    } cases[] = {
        {L"cmd /c rmdir /s /q \"C:\\ProgramData\\Data\\Tempfile\"", 2,
         "The system cannot find the file specified."},
        {L"cmd /c del /Q C:\\ProgramData\\Data\\*.dll", 0, "Could Not Find C:\\ProgramData\\Data\\*.dll"},
        {L"cmd /c find \"x\" < C:\\missing.txt", 1, "The system cannot find the file specified."},
    };
    for (const auto& c : cases) {
        auto hidden = runCaptured(CREATE_NO_WINDOW, c.line);
        EXPECT_EQ(c.code, hidden.first) << c.text;
        EXPECT_EQ("", hidden.second) << "hidden: " << c.text;
        auto shown = runCaptured(0, c.line);
        EXPECT_EQ(c.code, shown.first) << c.text;
        EXPECT_NE(std::string::npos, shown.second.find(c.text)) << "shown: " << shown.second;
    }
    // Output the command line sends to a file still arrives there.
    auto toFile = runCaptured(CREATE_NO_WINDOW, L"cmd /c del /Q C:\\ProgramData\\Data\\*.dll 2> C:\\err.txt");
    EXPECT_EQ("", toFile.second);
    EXPECT_NE(std::string::npos, slurp(root.c("err.txt")).find("Could Not Find"));
}

}  // namespace
