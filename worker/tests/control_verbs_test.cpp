// The worker's control verbs, run as the real program in a root of its own beside stand-ins for
// the monitor and the service.
#include "worker/tests/program_harness.h"

#include "common/system.h"
#include "ipc/transport.h"

namespace {

using harness::pollUntil;

class ControlVerbs : public harness::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        install(KVLB_WORKER_EXE, "KVLBTessarionWorker.exe");
        install(KVLB_STANDIN, "KVLBTessarionMonitor.exe");
        install(KVLB_STANDIN, "KVLBTessarionMain.exe");
    }

    // Starts a listening stand-in and waits until its receivers run.
    void startListening(const std::string& name) {
        HANDLE p = start(name, "");
        ASSERT_NE(p, nullptr);
        CloseHandle(p);
        ASSERT_TRUE(pollUntil([&] { return eventsHave(name, "ready"); })) << name << " did not come up";
    }

    size_t monitorRuns() const { return harness::countOf(events("KVLBTessarionMonitor.exe"), "run "); }
};

TEST_F(ControlVerbs, OnlyTheWholeLineSelectsAVerbLetterCaseIgnored) {
    standinMode("KVLBTessarionMonitor.exe", "exit");
    struct Case {
        const char* line;
        bool startsMonitor;
    } cases[] = {{"-start", true}, {"-START", true},   {"-Start", true}, {"-start ", false},
                 {"", false},      {"-starts", false}, {"start", false}};
    for (const Case& c : cases) {
        size_t before = monitorRuns();
        size_t records = logCount("][Normal] Command: ");
        EXPECT_EQ(worker(c.line), 0) << "[" << c.line << "]";
        ASSERT_EQ(logCount("][Normal] Command: "), records + 1) << "[" << c.line << "]";
        if (c.startsMonitor) {
            EXPECT_TRUE(pollUntil([&] { return monitorRuns() == before + 1; })) << "[" << c.line << "]";
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(monitorRuns(), before) << "[" << c.line << "]";
        }
    }
    EXPECT_TRUE(logHas("][Normal] Compile time: "));
    EXPECT_TRUE(logHas("][Normal] Command: -START\n") || logHas("][Normal] Command: -START\r\n"));
}

TEST_F(ControlVerbs, StartStopRestartReachARunningMonitor) {
    startListening("KVLBTessarionMonitor.exe");
    for (const char* verb : {"-start", "-stop", "-restart"}) {
        std::string instruction = std::string(verb).substr(1);
        EXPECT_EQ(worker(verb), 0);
        EXPECT_TRUE(pollUntil([&] { return eventsHave("KVLBTessarionMonitor.exe", instruction); })) << verb;
    }
    // The monitor was told, not started again.
    EXPECT_EQ(monitorRuns(), 1u);
}

TEST_F(ControlVerbs, WithoutAMonitorStopOnlySendsAndRestartStartsOne) {
    standinMode("KVLBTessarionMonitor.exe", "exit");
    EXPECT_EQ(worker("-stop"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(monitorRuns(), 0u);
    EXPECT_EQ(worker("-restart"), 0);
    EXPECT_TRUE(pollUntil([&] { return monitorRuns() == 1; }));
    EXPECT_EQ(harness::countOf(events("KVLBTessarionMonitor.exe"), "restart"), 0u);
}

TEST_F(ControlVerbs, MonitorStartOnlyTakesAndReleasesTheControlMutex) {
    startListening("KVLBTessarionMonitor.exe");
    EXPECT_EQ(worker("-monitorstart"), 0);
    HANDLE control = getMutexLock("TessarionWorker", 0);
    EXPECT_NE(control, nullptr) << "the control mutex was left held";
    if (control) {
        ReleaseMutex(control);
        CloseHandle(control);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(events("KVLBTessarionMonitor.exe"), "run \nready\n");
}

TEST_F(ControlVerbs, AVerbWaitsForTheControlMutexAndGivesUpAfterElevenTries) {
    standinMode("KVLBTessarionMonitor.exe", "exit");
    HANDLE control = getMutexLock("TessarionWorker", 0);
    ASSERT_NE(control, nullptr);
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(worker("-start"), 0);
    auto took = std::chrono::steady_clock::now() - begun;
    EXPECT_GE(took, std::chrono::milliseconds(5500));  // 11 pauses of 500 ms at the least
    EXPECT_EQ(logCount("Get mutex lock time out"), 1u);
    EXPECT_EQ(monitorRuns(), 0u);

    // Released while a second run waits: that run does its verb.
    HANDLE waiting = start("KVLBTessarionWorker.exe", "-start");
    ASSERT_TRUE(pollUntil([&] { return logCount("][Normal] Command: -start") == 2; }));
    ReleaseMutex(control);
    CloseHandle(control);
    EXPECT_EQ(waitExit(waiting), 0);
    EXPECT_TRUE(pollUntil([&] { return monitorRuns() == 1; }));
    EXPECT_EQ(logCount("Get mutex lock time out"), 1u);
}

TEST_F(ControlVerbs, AllStopEndsTheWatchdogFirstThenTheMonitorAndTheService) {
    startListening("KVLBTessarionMonitor.exe");
    startListening("KVLBTessarionMain.exe");
    HANDLE watchdog = start("KVLBTessarionWorker.exe", "-watchdog");
    ASSERT_TRUE(pollUntil([&] { return logHas("getMutexLock: Success"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // its receivers are up

    EXPECT_EQ(worker("-allstop"), 0);
    EXPECT_EQ(waitExit(watchdog), 0);
    EXPECT_TRUE(eventsHave("KVLBTessarionMonitor.exe", "final"));
    EXPECT_TRUE(eventsHave("KVLBTessarionMain.exe", "final"));
    EXPECT_FALSE(running(L"KVLBTessarionMonitor.exe"));
    EXPECT_FALSE(running(L"KVLBTessarionMain.exe"));
    std::string all = log();
    EXPECT_NE(all.find("[TessarionWorker] TessarionWorker kill KVLBTessarionMonitor.exe success"),
              std::string::npos);
    EXPECT_NE(all.find("[TessarionWorker] kill KVLBTessarionMain.exe shutdown state: Success"),
              std::string::npos);
    EXPECT_LT(all.find("Stop area"), all.find("kill KVLBTessarionMonitor.exe success"));
    // The watchdog went without resetting anything.
    EXPECT_EQ(all.find("Reset!"), std::string::npos);
    EXPECT_EQ(monitorRuns(), 1u);
}

TEST_F(ControlVerbs, ResetStartsTheMonitorAndANewWatchdog) {
    startListening("KVLBTessarionMonitor.exe");
    startListening("KVLBTessarionMain.exe");
    EXPECT_EQ(worker("-reset"), 0);
    EXPECT_TRUE(eventsHave("KVLBTessarionMonitor.exe", "final"));
    EXPECT_TRUE(logHas("Reset complete"));
    EXPECT_TRUE(pollUntil([&] { return monitorRuns() == 2; }));
    // The new watchdog holds its mutex and watches the new monitor.
    EXPECT_TRUE(pollUntil([&] { return logHas("getMutexLock: Success"); }));
    HANDLE watchdogMutex = getMutexLock(IPC_CHANNEL_WATCHDOG, 0);
    EXPECT_EQ(watchdogMutex, nullptr);
    if (watchdogMutex) CloseHandle(watchdogMutex);
}

TEST_F(ControlVerbs, AProgramThatOutlivesTerminationByNameIsGivenToTaskkill) {
    // Letter case differs from the image name: the exact-name termination misses it, the
    // process test and taskkill do not.
    install(KVLB_STANDIN, "kvlbtessarionmain.exe");
    standinMode("kvlbtessarionmain.exe", "deaf");
    standinMode("KVLBTessarionMonitor.exe", "exit");
    HANDLE deaf = start("kvlbtessarionmain.exe", "");
    ASSERT_TRUE(pollUntil([&] { return eventsHave("kvlbtessarionmain.exe", "run "); }));

    EXPECT_EQ(worker("-allstop"), 0);
    EXPECT_EQ(waitExit(deaf, 10s), 1);  // taskkill's exit code, not the termination's 9
    std::string all = log();
    EXPECT_NE(all.find("[TessarionWorker] TessarionWorker kill KVLBTessarionMain.exe fail"),
              std::string::npos);
    EXPECT_NE(all.find("[TessarionWorker] Start command kill mode"), std::string::npos);
    EXPECT_NE(all.find("Command: taskkill /F /im KVLBTessarionMain.exe /F"), std::string::npos);
    EXPECT_NE(all.find("[TessarionWorker] kill KVLBTessarionMain.exe shutdown state: Success"),
              std::string::npos);
    // The monitor was not running: one test, success at once.
    EXPECT_NE(all.find("TessarionWorker kill KVLBTessarionMonitor.exe success"), std::string::npos);
}

}  // namespace
