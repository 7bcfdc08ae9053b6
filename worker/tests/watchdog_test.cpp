// The worker's watchdog mode against a stand-in monitor that holds the liveness mutex.
#include "worker/tests/program_harness.h"

#include "common/system.h"
#include "ipc/transport.h"

namespace {

using harness::pollUntil;

class Watchdog : public harness::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        install(KVLB_WORKER_EXE, "KVLBTessarionWorker.exe");
        install(KVLB_STANDIN, "KVLBTessarionMonitor.exe");
        install(KVLB_STANDIN, "KVLBTessarionMain.exe");
    }

    size_t monitorRuns() const { return harness::countOf(events("KVLBTessarionMonitor.exe"), "run "); }

    HANDLE startMonitor() {
        HANDLE p = start("KVLBTessarionMonitor.exe", "");
        EXPECT_TRUE(pollUntil([&] { return eventsHave("KVLBTessarionMonitor.exe", "ready"); }));
        return p;
    }

    // Waits until the watchdog's receivers can take instructions.
    HANDLE startWatchdog() {
        size_t before = logCount("getMutexLock: Success");
        HANDLE p = start("KVLBTessarionWorker.exe", "-watchdog");
        EXPECT_TRUE(pollUntil([&] { return logCount("getMutexLock: Success") > before; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        return p;
    }
};

TEST_F(Watchdog, WithoutAMonitorItResetsAtItsFirstPoll) {
    HANDLE watchdog = start("KVLBTessarionWorker.exe", "-watchdog");
    EXPECT_EQ(waitExit(watchdog, 20s), 0);
    std::string all = log();
    EXPECT_NE(all.find("debugStatusUpdateEvent init failed."), std::string::npos);
    EXPECT_LT(all.find("Monitor is NOT alive"), all.find("Reset!"));
    // The reset brings the monitor up, and its own watchdog then watches it.
    EXPECT_TRUE(pollUntil([&] { return logHas("Reset complete"); }));
    EXPECT_TRUE(pollUntil([&] { return monitorRuns() == 1; }));
    EXPECT_TRUE(pollUntil([&] { return logCount("getMutexLock: Success") == 2; }));
}

TEST_F(Watchdog, TheEndOfTheMonitorResetsTheSet) {
    HANDLE monitor = startMonitor();
    HANDLE watchdog = startWatchdog();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(logHas("Monitor is NOT alive"));

    TerminateProcess(monitor, 9);  // a crash: the liveness mutex is abandoned
    CloseHandle(monitor);
    EXPECT_EQ(waitExit(watchdog, 20s), 0);
    EXPECT_TRUE(logHas("Reset!"));
    EXPECT_TRUE(pollUntil([&] { return monitorRuns() == 2; }));
}

TEST_F(Watchdog, ASecondWatchdogGivesWay) {
    CloseHandle(startMonitor());
    HANDLE first = startWatchdog();
    EXPECT_EQ(worker("-watchdog"), 0);
    EXPECT_EQ(logCount("getMutexLock: Fail"), 1u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(first, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    CloseHandle(first);
}

TEST_F(Watchdog, SuicideEndsItWithoutAReset) {
    CloseHandle(startMonitor());
    HANDLE watchdog = startWatchdog();
    EXPECT_TRUE(sendIpcMessage(IPC_CHANNEL_WATCHDOG, "TessarionInstruction_Suicide"));
    EXPECT_EQ(waitExit(watchdog, 20s), 0);
    EXPECT_FALSE(logHas("Reset!"));
    EXPECT_EQ(monitorRuns(), 1u);
}

TEST_F(Watchdog, ALockedSessionDoesNotEndItAndTheDebugEventIsFollowed) {
    // The monitor's debug-mode event exists, so the watchdog opens it.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, DEBUG_MODE_EVENT_NAME);
    ASSERT_NE(event, nullptr);
    CloseHandle(startMonitor());
    HANDLE watchdog = startWatchdog();
    desktop("lock");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(watchdog, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_FALSE(logHas("debugStatusUpdateEvent init failed."));
    desktop("unlock");
    CloseHandle(watchdog);
    CloseHandle(event);
}

}  // namespace
