// Finding and ending processes by image name, the monitor's escalating kill of the service, and
// the monitor build's small helpers.
#include "worker/tests/program_harness.h"

#include <regex>

#include "common/log.h"
#include "common/system.h"
#include "monitor/process_control.h"

namespace {

using harness::pollUntil;
namespace fs = std::filesystem;

class ProcessControl : public harness::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        setLog("ProcessControlTest");
    }
    HANDLE startStandin(const std::string& name, const std::string& mode) {
        install(KVLB_STANDIN, name);
        standinMode(name, mode);
        HANDLE p = start(name, "");
        EXPECT_TRUE(pollUntil([&] { return eventsHave(name, mode == "listen" ? "ready" : "run "); }));
        return p;
    }
};

TEST_F(ProcessControl, LookupIgnoresLetterCaseTerminationDoesNot) {
    HANDLE p = startStandin("kvlbtessarionmain.exe", "deaf");
    EXPECT_TRUE(isProcessRunning(L"KVLBTessarionMain.exe"));
    EXPECT_TRUE(isProcessRunning(L"kvlbtessarionmain.exe"));
    EXPECT_FALSE(isProcessRunning(L"KVLBTessarionMain"));
    EXPECT_TRUE(killProcessByName(L"KVLBTessarionMain.exe"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(isProcessRunning(L"kvlbtessarionmain.exe"));
    EXPECT_TRUE(killProcessByName(L"kvlbtessarionmain.exe"));
    EXPECT_EQ(waitExit(p, 10s), 9);
    EXPECT_TRUE(pollUntil([] { return !isProcessRunning(L"kvlbtessarionmain.exe"); }));

    EXPECT_FALSE(isProcessRunning(nullptr));
    EXPECT_TRUE(killProcessByName(nullptr));
    EXPECT_FALSE(killProgramAs("TessarionWorker", nullptr));
    EXPECT_TRUE(logHas("Parameter processName is null at Tool "));
    EXPECT_TRUE(logHas("Parameter inputTo is null at Tool 2433"));
}

TEST_F(ProcessControl, KillMainProgramEndsAListeningServiceBySuicide) {
    HANDLE p = startStandin("KVLBTessarionMain.exe", "listen");
    EXPECT_TRUE(killMainProgram());
    EXPECT_EQ(waitExit(p, 10s), 0);  // its own end, not a termination
    EXPECT_TRUE(eventsHave("KVLBTessarionMain.exe", "final"));
    EXPECT_TRUE(
        logHas("[KVLBTessarionMonitor.exe] KVLBTessarionMonitor.exe kill KVLBTessarionMain.exe success"));
    EXPECT_TRUE(logHas("[KVLBTessarionMonitor.exe] kill KVLBTessarionMain.exe shutdown state: Success"));
    EXPECT_FALSE(logHas("Start command kill mode"));
}

TEST_F(ProcessControl, KillMainProgramFallsBackToTaskkill) {
    HANDLE p = startStandin("kvlbtessarionmain.exe", "deaf");
    auto begun = std::chrono::steady_clock::now();
    EXPECT_TRUE(killMainProgram());
    EXPECT_GE(std::chrono::steady_clock::now() - begun,
              std::chrono::milliseconds(2900));  // the first 30 tests
    EXPECT_EQ(waitExit(p, 10s), 1);
    std::string all = log();
    const char* order[] = {"KVLBTessarionMonitor.exe kill KVLBTessarionMain.exe fail",
                           "Start command kill mode", "Command: taskkill /F /im KVLBTessarionMain.exe /F",
                           "hideWaitCommand finish", "kill KVLBTessarionMain.exe shutdown state: Success"};
    size_t at = 0;
    for (const char* text : order) {
        size_t found = all.find(text, at);
        EXPECT_NE(found, std::string::npos) << text;
        if (found != std::string::npos) at = found;
    }
}

TEST_F(ProcessControl, KillMainProgramWithoutAServiceSucceedsAtOnce) {
    EXPECT_TRUE(killMainProgram());
    EXPECT_TRUE(logHas("KVLBTessarionMonitor.exe kill KVLBTessarionMain.exe success"));
}

TEST(MonitorHelpers, AppendBoundedKeepsTheBufferTerminated) {
    char buffer[512] = "isScreenShot=";
    appendBounded(buffer, "true\n");
    EXPECT_STREQ(buffer, "isScreenShot=true\n");
    appendBounded(buffer, std::string(600, 'x').c_str());
    EXPECT_EQ(strlen(buffer), 511u);
    appendBounded(buffer, "more");
    EXPECT_EQ(strlen(buffer), 511u);
    appendBounded(buffer, nullptr);
    EXPECT_EQ(strlen(buffer), 511u);
}

TEST(MonitorHelpers, ReplaceAllWideAndDisplayNameFiles) {
    wchar_t* text = replaceAllWide(L"Saved ==FileName== as ==FileName==", L"==FileName==", L"C:\\\x6587.png");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"Saved C:\\\x6587.png as C:\\\x6587.png");
    free(text);
    EXPECT_EQ(replaceAllWide(nullptr, L"a", L"b"), nullptr);

    struct Case {
        const char* path;
        bool is;
    } cases[] = {{"C:\\x\\DisplayName.txt", true},   {"DisplayName.txt", true},
                 {"isplayName.txt", false},          {"C:\\x\\displayname.txt", false},
                 {"C:\\DisplayName.txt.bak", false}, {nullptr, false}};
    for (const Case& c : cases) EXPECT_EQ(isDisplayNameFile(c.path), c.is) << (c.path ? c.path : "NULL");
}

TEST(MonitorHelpers, FilesFoldersAndTime) {
    platform::TestRoot root;
    makeFolderLevels(L"C:\\Users\\User\\AppData\\Local\\Temp\\");
    EXPECT_TRUE(fs::is_directory(root.c("Users/User/AppData/Local/Temp")));
    EXPECT_TRUE(writeTextFile(L"C:\\Users\\User\\AppData\\Local\\Temp\\a.ini", "x=1\ny=2\n"));
    EXPECT_EQ(harness::readText(root.c("Users/User/AppData/Local/Temp/a.ini")), "x=1\r\ny=2\r\n");
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

TEST(MonitorHelpers, ReleasedMutexIsFreeForOthers) {
    platform::TestRoot root;
    releaseMutexLock(nullptr);
    HANDLE held = getMutexLock("KVLBTessarionWatchdog", 0);
    ASSERT_NE(held, nullptr);
    HANDLE other = nullptr;
    std::thread([&] { other = getMutexLock("KVLBTessarionWatchdog", 0); }).join();
    EXPECT_EQ(other, nullptr);
    releaseMutexLock(held);
    std::thread([&] {
        other = getMutexLock("KVLBTessarionWatchdog", 0);
        releaseMutexLock(other);
    }).join();
    EXPECT_NE(other, nullptr);
}

}  // namespace
