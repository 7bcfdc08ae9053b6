// The log front end: where setLog finds the ini, the wrapper records, and the debug-mode watcher
// toggling logging at the monitor's pulses.
#include "common/log.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include "common/log_writer.h"
#include "common/tests/test_files.h"
#include "platform/test_root.h"

using testfiles::readHost;
using testfiles::recordTexts;
using testfiles::writeHost;

namespace {

const char* const kIni = "[KVLBTessarion]\nLog File=C:\\logs\\front.log\nLog Level=5\n";

class LogFrontTest : public ::testing::Test {
  protected:
    void SetUp() override {
        day = testfiles::fixDay();
        std::filesystem::create_directories(root.c("logs"));
    }
    void TearDown() override {
        if (logSettings.mutex != nullptr) CloseHandle(logSettings.mutex);
        logSettings = {};
        logEnabled = 0;
        logTag[0] = '\0';
        debugState = 0;
    }
    std::vector<std::string> records() { return recordTexts(root.c("logs")); }
    // The records that came from the wrappers (the tag in brackets first).
    std::vector<std::string> tagged() {
        std::vector<std::string> out;
        for (const auto& r : records())
            if (!r.empty() && r[0] == '[') out.push_back(r);
        return out;
    }
    platform::TestRoot root;
    testfiles::Day day;
};

TEST_F(LogFrontTest, SetLogFindsTheIniAndKeepsTheFirstTag) {
    writeHost(root.ini(), kIni);
    EXPECT_TRUE(setLog("KVLBTessarion"));
    EXPECT_TRUE(setLog("Other"));  // already on: the first tag stays
    logNormal("Second: ", "call");
    auto r = records();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0], "Log Enable '" + root.iniName() + "'");
    EXPECT_TRUE(std::regex_match(
        r[1], std::regex(R"(log\.cpp \d+ setLog Compile Time : \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d)")))
        << r[1];
    EXPECT_EQ(r[2], "[KVLBTessarion][Normal] Log state: Enable");
    EXPECT_EQ(r[3], "[KVLBTessarion][Normal] Second: call");
}

TEST_F(LogFrontTest, WrapperRecords) {
    writeHost(root.ini(), kIni);
    ASSERT_TRUE(setLog("T"));
    logNormal("m: ", "v");
    logNormalInt("n: ", -5);
    logNormalWide("w: ", L"\u00e9\u6f22");
    logError("e: ", "x");
    logErrorInt("ei: ", 61005);
    logWarning("wa: ", "y");
    logWarningInt("wi: ", 0);
    logCommandError(L"netstat -n -a");
    logCommandError(nullptr);
    logExistState("f: ", true);
    logExistState("f: ", false);
    logStateText("s: ", false, "on", "off");
    logNormal(nullptr, nullptr);
    logNormalWide("nw: ", nullptr);
    reportNullParameter("inputPath", "Tool", 12);
    reportAllocFail("Tool", 34);
    logPlain("plain ", "text");
    const std::vector<std::string> expected = {
        "[T][Normal] Log state: Enable",
        "[T][Normal] m: v",
        "[T][Normal] n: -5",
        "[T][Normal] w: \xc3\xa9\xe6\xbc\xa2",
        "[T][Error] e: x",
        "[T][Error] ei: 61005",
        "[T][Warning] wa: y",
        "[T][Warning] wi: 0",
        "[T][Error] Command: netstat -n -a",
        "[T][Error] Command: ",
        "[T][Normal] f: Exist",
        "[T][Error] f: Not Exist",
        "[T][Normal] s: off",
        "[T][Normal] ",
        "[T][Normal] nw: ",
        "[T][Warning] Parameter inputPath is null at Tool 12",
        "[T][Error] Memory allocate fail at file: Tool",
        "[T][Error] Memory allocate fail at line: 34",
    };
    EXPECT_EQ(tagged(), expected);
    EXPECT_EQ(records().back(), "plain text");
}

TEST_F(LogFrontTest, LongTagIsCutTo63Characters) {
    writeHost(root.ini(), kIni);
    std::string tag(70, 't');
    tag[62] = 'E';
    ASSERT_TRUE(setLog(tag.c_str()));
    EXPECT_EQ(tagged().back(), "[" + tag.substr(0, 63) + "][Normal] Log state: Enable");
}

TEST_F(LogFrontTest, LevelBelowFiveEnablesButWritesNoWrapperRecord) {
    writeHost(root.ini(), "[KVLBTessarion]\nLog File=C:\\logs\\front.log\nLog Level=3\n");
    EXPECT_TRUE(setLog("T"));
    logNormal("Hidden: ", "x");
    logPlain("hidden", "");
    EXPECT_EQ(records(), std::vector<std::string>{"Log Enable '" + root.iniName() + "'"});
    EXPECT_NE(readHost(root.c("logs/front_" + day.stamp + ".log")).find(" [WARN ] "), std::string::npos);
}

TEST_F(LogFrontTest, WithoutIniLoggingStaysOff) {
    EXPECT_FALSE(setLog(nullptr));
    EXPECT_FALSE(setLog("T"));
    logNormal("Nothing: ", "x");
    logPlain("nothing", "");
    EXPECT_TRUE(records().empty());
    for (const auto& name : testfiles::listHost(root.c(""))) EXPECT_NE(name.rfind("ZTLog", 0), 0u) << name;
}

TEST_F(LogFrontTest, PlainRecordsNeedOnlyTheWriter) {
    setLogFileLevel("C:\\logs\\front.log", 5);
    logPlain("=", nullptr);
    logNormal("Not written: ", "x");
    EXPECT_EQ(records(), std::vector<std::string>{"="});
}

// Runs setLog in a program of its own folder and answers which ini it took.
std::string iniTakenByHelper(const platform::TestRoot& root) {
    std::string helper = std::string(KVLB_TEST_DIR) + "/log_front/LogFrontHelper.exe";
    if (testfiles::runToEnd({helper, "setlog", "Helper"}) != 0) return "<helper failed>";
    for (const auto& r : recordTexts(root.c("logs")))
        if (r.rfind("Log Enable '", 0) == 0) {
            std::filesystem::remove_all(root.c("logs"));
            std::filesystem::create_directories(root.c("logs"));
            return r.substr(12, r.size() - 13);
        }
    return "<none>";
}

TEST_F(LogFrontTest, IniBesideTheProgramComesFirstThenWindowsThenTemp) {
    std::string besideHelper = std::string(KVLB_TEST_DIR) + "/log_front/KVLBTessarion.ini";
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::string tempHost = test_support::hostPath(temp);
    ASSERT_FALSE(tempHost.empty());
    writeHost(besideHelper, kIni);
    writeHost(root.ini(), kIni);
    writeHost(tempHost + "/KVLBTessarion.ini", kIni);

    std::string taken = iniTakenByHelper(root);
    std::filesystem::remove(besideHelper);
    const std::string beside = "\\tests\\log_front\\KVLBTessarion.ini";
    EXPECT_TRUE(taken.size() > beside.size() && taken.substr(taken.size() - beside.size()) == beside)
        << taken;
    EXPECT_EQ(iniTakenByHelper(root), root.iniName());
    std::filesystem::remove(root.ini());
    // The temp folder ends in a backslash already: no second one.
    char tempNarrow[MAX_PATH * 4];
    WideCharToMultiByte(CP_UTF8, 0, temp, -1, tempNarrow, sizeof tempNarrow, nullptr, nullptr);
    EXPECT_EQ(iniTakenByHelper(root), std::string(tempNarrow) + "KVLBTessarion.ini");
}

TEST_F(LogFrontTest, DebugEventIsOpenedNeverCreated) {
    EXPECT_FALSE(openDebugStatusUpdateEvent());
    HANDLE monitorEvent = CreateEventW(nullptr, TRUE, FALSE, L"KVLBTessarion_DEBUG_MODE");
    ASSERT_NE(monitorEvent, nullptr);
    EXPECT_TRUE(openDebugStatusUpdateEvent());
    EXPECT_FALSE(openDebugStatusUpdateEvent());  // already held
    CloseHandle(debugStatusUpdateEvent);
    debugStatusUpdateEvent = nullptr;
    CloseHandle(monitorEvent);
}

// Pulses the event, as the monitor does, until the watcher has taken a pulse. A pulse only
// reaches a watcher that is waiting, so each one comes after the watcher's own pause.
bool pulseUntil(HANDLE event, unsigned char state) {
    for (int attempt = 0; attempt < 15; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        PulseEvent(event);
        if (test_support::pollUntil([&] { return debugState == state; }, 2s)) return true;
    }
    return false;
}

TEST_F(LogFrontTest, WatcherTogglesLoggingAtEachPulse) {
    writeHost(root.ini(), kIni);
    debugState = setLog("KVLBTessarion") ? 1 : 0;
    ASSERT_EQ(debugState, 1);
    HANDLE monitorEvent = CreateEventW(nullptr, TRUE, FALSE, L"KVLBTessarion_DEBUG_MODE");
    ASSERT_NE(monitorEvent, nullptr);
    ASSERT_TRUE(openDebugStatusUpdateEvent());
    static char tag[] = "KVLBTessarion";
    pthread_t watcher;
    ASSERT_EQ(pthread_create(&watcher, nullptr, debugModeWatcher, tag), 0);
    pthread_detach(watcher);

    ASSERT_TRUE(pulseUntil(monitorEvent, 0));
    EXPECT_EQ(logEnabled.load(), 0);
    logNormal("Not written: ", "off");
    EXPECT_EQ(tagged(), (std::vector<std::string>{"[KVLBTessarion][Normal] Log state: Enable",
                                                  "[KVLBTessarion][Normal] Log state: Disable"}));

    // The next pulse reads the ini again.
    ASSERT_TRUE(pulseUntil(monitorEvent, 1));
    EXPECT_EQ(logEnabled.load(), 1);
    auto r = records();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[r.size() - 3], "Log Enable '" + root.iniName() + "'");
    EXPECT_NE(r[r.size() - 2].find("setLog Compile Time : "), std::string::npos);
    EXPECT_EQ(r.back(), "[KVLBTessarion][Normal] Log state: Enable");
    CloseHandle(monitorEvent);  // the watcher keeps its own handle
}

}  // namespace
