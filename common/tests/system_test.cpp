// Hidden commands, per-user mutexes, folders, files and the port check.
#include "common/system.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <regex>

#include "common/log.h"
#include "common/log_writer.h"
#include "common/tests/test_files.h"
#include "platform/sockets.h"
#include "platform/test_root.h"

using testfiles::readHost;
using testfiles::recordTexts;
using testfiles::writeHost;

namespace {

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testfiles::fixDay();
        std::filesystem::create_directories(root.c("logs"));
        setLogFileLevel("C:\\logs\\sys.log", 5);
        snprintf(logTag, sizeof logTag, "T");
        logEnabled = 1;
    }
    void TearDown() override {
        if (logSettings.mutex != nullptr) CloseHandle(logSettings.mutex);
        logSettings = {};
        logEnabled = 0;
        logTag[0] = '\0';
    }
    std::vector<std::string> records() { return recordTexts(root.c("logs")); }
    platform::TestRoot root;
};

std::wstring text(wchar_t* owned) {
    std::wstring s = owned != nullptr ? owned : L"<null>";
    free(owned);
    return s;
}

std::wstring machineUser() {
    wchar_t name[256] = {};
    DWORD size = 256;
    return GetUserNameW(name, &size) ? name : L"<no user>";
}

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::string helperProgram() {
    return std::string(KVLB_TEST_DIR) + "/CommonHelper.exe";
}

TEST_F(SystemTest, HideWaitCommandReturnsTheExitCode) {
    EXPECT_EQ(hideWaitCommand(L"CommonHelper.exe exit 0", false), 0);
    EXPECT_EQ(hideWaitCommand(L"CommonHelper.exe exit 3", false), 3);
    EXPECT_EQ(records(), (std::vector<std::string>{
                             "[T][Normal] hideWaitCommand: CommonHelper.exe exit 0",
                             "[T][Normal] hideWaitCommand finish",
                             "[T][Normal] hideWaitCommand: CommonHelper.exe exit 3",
                             "[T][Error] Command: CommonHelper.exe exit 3",
                             "[T][Error] Command error code: 3",
                             "[T][Normal] hideWaitCommand finish",
                         }));
}

TEST_F(SystemTest, HideWaitCommandRefusals) {
    EXPECT_EQ(hideWaitCommand(nullptr, true), 1);
    EXPECT_EQ(records(), std::vector<std::string>{"[T][Normal] hideWaitCommand finish"});
    // Nothing was started, so nothing is waited for, and it is not a success.
    EXPECT_EQ(hideWaitCommand(L"NoSuchProgram.exe", false), -1);
    EXPECT_EQ(hideWaitCommand(L"", false), -1);
    std::wstring huge(40000, L'a');
    EXPECT_EQ(hideWaitCommand(huge.c_str(), false), -1);
    hideNOWaitCommand(nullptr);
    EXPECT_EQ(records().back(), "[T][Warning] Parameter inputCommand is null at Tool 2276");
    hideNOWaitCommand(L"NoSuchProgram.exe");
}

TEST_F(SystemTest, CommandRunsThroughCmd) {
    std::wstring out = L"C:\\cmd_out.txt";
    EXPECT_EQ(hideWaitCommand((L"netstat -n -a > " + out).c_str(), true), 0);
    EXPECT_TRUE(fileExists(out.c_str()));
}

TEST_F(SystemTest, MutexHeldByAnotherProcessThenAbandoned) {
    std::string marker = root.path() + "/held", go = root.path() + "/go";
    // The helper starts hidden without anybody waiting for it, and takes the mutex.
    std::wstring command = L"CommonHelper.exe mutex Probe ";
    command += wide(marker) + L" " + wide(go);
    hideNOWaitCommand(command.c_str());
    ASSERT_TRUE(test_support::pollUntil([&] { return std::filesystem::exists(marker); }));
    EXPECT_EQ(getMutexLock(L"Probe", 0), nullptr);
    EXPECT_EQ(getMutexLock("Probe", 0), nullptr);
    // The per-user name: the user, "_" and the name.
    HANDLE named = OpenMutexW(SYNCHRONIZE, FALSE, (machineUser() + L"_Probe").c_str());
    EXPECT_NE(named, nullptr);
    if (named != nullptr) CloseHandle(named);

    writeHost(go, "");
    // Once the holder has ended, the mutex can be had again.
    HANDLE held = nullptr;
    ASSERT_TRUE(test_support::pollUntil([&] { return (held = getMutexLock("Probe", 0)) != nullptr; }));
    EXPECT_TRUE(ReleaseMutex(held));
    CloseHandle(held);
}

// Abandonment is seen only while the mutex still exists: here a handle stays open across the
// holder's end.
TEST_F(SystemTest, MutexAbandonedIsRefusedOnceThenTaken) {
    std::string marker = root.path() + "/held", go = root.path() + "/go";
    test_support::ChildProcess holder({helperProgram(), "mutex", "Gone", marker, go});
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(test_support::pollUntil([&] { return std::filesystem::exists(marker); }));
    HANDLE kept = OpenMutexW(SYNCHRONIZE, FALSE, (machineUser() + L"_Gone").c_str());
    ASSERT_NE(kept, nullptr);
    writeHost(go, "");
    ASSERT_EQ(holder.exitCode(), 0);
    EXPECT_EQ(getMutexLock(L"Gone", 0), nullptr);
    HANDLE held = getMutexLock(L"Gone", 0);
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(ReleaseMutex(held));
    CloseHandle(held);
    // Released and closed: free again.
    held = getMutexLock(L"Gone", 100);
    ASSERT_NE(held, nullptr);
    ReleaseMutex(held);
    CloseHandle(held);
    CloseHandle(kept);
}

// With no handle left the mutex is gone with its holder: the next call gets a new one at once.
TEST_F(SystemTest, MutexOfAHolderThatEndedAloneIsTakenAtOnce) {
    std::string marker = root.path() + "/held", go = root.path() + "/go";
    writeHost(go, "");  // the helper ends as soon as it holds the mutex
    ASSERT_EQ(testfiles::runToEnd({helperProgram(), "mutex", "Gone", marker, go}), 0);
    HANDLE held = getMutexLock(L"Gone", 0);
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(ReleaseMutex(held));
    CloseHandle(held);
}

TEST_F(SystemTest, MutexRefusals) {
    EXPECT_EQ(getMutexLock(static_cast<const wchar_t*>(nullptr), 0), nullptr);
    EXPECT_EQ(getMutexLock(static_cast<const char*>(nullptr), 0), nullptr);
    EXPECT_EQ(records(),
              (std::vector<std::string>{"[T][Warning] Parameter inputMutexLock is null at Tool 2661",
                                        "[T][Warning] Parameter inputMutexLock is null at Tool 2661"}));
    std::wstring overlong(600, L'm');
    EXPECT_EQ(getMutexLock(overlong.c_str(), 0), nullptr);
}

// The user the case runs as: the emulation lets it name one, the real machine has its own.
std::wstring caseUser() {
#ifndef _WIN32
    platform::setSetting("user", "Alice");
    EXPECT_EQ(machineUser(), L"Alice");
#endif
    return machineUser();
}

TEST_F(SystemTest, UserAndFolders) {
    const std::wstring user = caseUser();
    EXPECT_EQ(text(getUserName()), user);
    EXPECT_EQ(text(getFolderPath("KVLBTessarionMain")), L"C:\\ProgramData\\KVLBTessarionMain");
    EXPECT_STREQ(lastDataFolder, L"C:\\ProgramData\\KVLBTessarionMain");
    EXPECT_EQ(text(getFolderPath(nullptr)), L"C:\\ProgramData");
    EXPECT_EQ(text(getFolderPath("")), L"C:\\ProgramData");
    std::string longSub(400, 's');
    EXPECT_EQ(text(getFolderPath(longSub.c_str())).size(), static_cast<size_t>(MAX_PATH - 1));
    EXPECT_EQ(text(getWindowsFolder()), wide(root.windowsFolder()));
    std::wstring temp = text(getUserTempPath());
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), L'\\');
    EXPECT_NE(temp.find(user), std::wstring::npos);
    std::wstring module = text(getModuleFolder());
    EXPECT_TRUE(module.size() > 6 && module.substr(module.size() - 6) == L"\\tests") << module.size();
}

TEST_F(SystemTest, FileExists) {
    writeHost(root.c("data/file.txt"), "x");
    EXPECT_TRUE(fileExists(L"C:\\data\\file.txt"));
    EXPECT_TRUE(fileExists(L"C:\\data"));
    EXPECT_TRUE(fileExists(L"c:\\DATA\\File.TXT"));
    EXPECT_FALSE(fileExists(L"C:\\data\\missing.txt"));
    EXPECT_FALSE(fileExists(L"C:\\nofolder\\file.txt"));
    EXPECT_FALSE(fileExists(L""));
    EXPECT_FALSE(fileExists(nullptr));
    EXPECT_EQ(records().back(), "[T][Warning] Parameter inputFileName is null at Tool 2981");
}

TEST_F(SystemTest, ReadWholeFile) {
    std::string a(600, 'a'), b(600, 'b');
    writeHost(root.c("two.txt"), a + "\r\n" + b + "\r\n");
    char* whole = readWholeFile(L"C:\\two.txt");
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(std::string(whole), a + "\n" + b + "\n");
    free(whole);

    writeHost(root.c("empty.txt"), "");
    EXPECT_EQ(readWholeFile(L"C:\\empty.txt"), nullptr);
    EXPECT_EQ(readWholeFile(L"C:\\missing.txt"), nullptr);
    std::wstring overlong = L"C:\\" + std::wstring(2000, L'p');
    EXPECT_EQ(readWholeFile(overlong.c_str()), nullptr);
    EXPECT_EQ(readWholeFile(nullptr), nullptr);
    auto r = records();
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[r.size() - 2], "[T][Warning] Read file pointer is null");
    EXPECT_EQ(r.back(), "[T][Warning] inputPath is null");
}

TEST_F(SystemTest, FilesFoldersAndTime) {
    makeFolderLevels(L"C:\\Levels\\User\\AppData\\Local\\Temp\\");
    EXPECT_TRUE(std::filesystem::is_directory(root.c("Levels/User/AppData/Local/Temp")));
    EXPECT_TRUE(writeTextFile(L"C:\\Levels\\User\\AppData\\Local\\Temp\\a.ini", "x=1\ny=2\n"));
    EXPECT_EQ(readHost(root.c("Levels/User/AppData/Local/Temp/a.ini")), "x=1\r\ny=2\r\n");
    EXPECT_FALSE(writeTextFile(L"", "x"));
    EXPECT_FALSE(writeTextFile(nullptr, "x"));
    EXPECT_FALSE(writeTextFile(L"C:\\a.ini", nullptr));
    EXPECT_FALSE(writeTextFile(L"C:\\no\\such\\folder\\a.ini", "x"));

    char* now = localTimeText();
    ASSERT_NE(now, nullptr);
    EXPECT_TRUE(std::regex_match(now, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d"))) << now;
    free(now);
    wchar_t* desktop = getDesktopFolder();
    ASSERT_NE(desktop, nullptr);
    EXPECT_NE(std::wstring(desktop).find(L"Desktop"), std::wstring::npos);
    free(desktop);
}

TEST(NetstatLine, WhatCountsAsInUse) {
    struct {
        const char* line;
        int port;
        bool inUse;
    } cases[] = {
        {"  TCP    127.0.0.1:56462        0.0.0.0:0              LISTENING", 56462, true},
        {"TCP 127.0.0.1:56462 0.0.0.0:0 LISTENING", 5646, false},
        {"TCP 127.0.0.1:56462 0.0.0.0:0 TIME_WAIT", 56462, false},
        {"TCP 127.0.0.1:50000 127.0.0.1:56462 ESTABLISHED", 56462, true},
        {"tcp\t127.0.0.1:56462\t0.0.0.0:0\tlistening\r", 56462, true},
        {"TCP 127.0.0.1:56462 0.0.0.0:0", 56462, false},
        {"TCP 127.0.0.1:56462 0.0.0.0:0 LISTENING extra", 56462, false},
        {"UDP 127.0.0.1:56462 *:* ", 56462, false},
        {"TCP 127.0.0.2:56462 0.0.0.0:0 LISTENING", 56462, false},
        {"", 56462, false},
    };
    for (const auto& c : cases) EXPECT_EQ(netstatLineShowsPort(c.line, c.port), c.inUse) << c.line;
    std::string longWord = "TCP " + std::string(600, '1') + " 127.0.0.1:56462 LISTENING";
    EXPECT_FALSE(netstatLineShowsPort(longWord.c_str(), 56462));
    EXPECT_FALSE(netstatLineShowsPort(nullptr, 56462));
}

TEST_F(SystemTest, PortInUseWhileATestSocketListens) {
    free(getFolderPath("KVLBTessarionMain"));
#ifdef _WIN32
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
#else
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
#endif
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(s, 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int port = ntohs(address.sin_port);

    EXPECT_TRUE(isPortInUse(port));
    EXPECT_TRUE(std::filesystem::exists(root.c("ProgramData/KVLBTessarionMain/Tempfile/TessarionTemp")));
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
    EXPECT_FALSE(isPortInUse(port));
    EXPECT_FALSE(isPortInUse(0));
    EXPECT_FALSE(isPortInUse(-1));
    EXPECT_FALSE(isPortInUse(70000));
}

}  // namespace
