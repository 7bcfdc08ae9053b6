// The keeper, run by a small host program as the monitor runs it, launching a stand-in service
// installed beside it; steered by instructions on the keeper's channel as the menu and the other
// programs steer it.
#include "worker/tests/program_harness.h"

#include "ipc/transport.h"

namespace {

using harness::countOf;
using harness::pollUntil;

class Keeper : public harness::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        install(KVLB_KEEPER_HOST, "keeper_host");
        install(KVLB_STANDIN, "KVLBTessarionMain.exe");
    }

    std::string service() const { return events("KVLBTessarionMain.exe"); }
    size_t launches(const std::string& argument) const {
        return countOf(service(), "run " + argument + "\n");
    }
    size_t allLaunches() const { return countOf(service(), "run "); }

    void startKeeper() {
        HANDLE host = start("keeper_host", "");
        ASSERT_NE(host, nullptr);
        CloseHandle(host);
    }
    // Waits for the service's n-th launch to be listening, and the keeper's receivers with it.
    void waitListening(size_t n) {
        ASSERT_TRUE(pollUntil([&] { return countOf(service(), "ready\n") == n; })) << service();
        ASSERT_TRUE(pollUntil([&] { return logHas("[KeeperHost][Normal] IPC mode: "); }));
    }
    void instruct(const char* instruction) { ASSERT_TRUE(sendIpcMessage(IPC_CHANNEL_KEEPER, instruction)); }
};

TEST_F(Keeper, AServiceThatEndsAtOnceIsLaunchedEightTimesThenTheKeeperGivesUp) {
    standinMode("KVLBTessarionMain.exe", "exit");
    startKeeper();
    ASSERT_TRUE(pollUntil([&] { return logHas("Restart main program too many times, shutdown Keeper"); }));
    EXPECT_EQ(service(), "run 0\nrun 1\nrun 2\nrun 3\nrun 4\nrun 5\nrun 6\nrun 7\n");
    std::string icons;
    for (int i = 0; i < 8; ++i) icons += "running\nstopped\n";
    EXPECT_EQ(events("keeper"), icons + "keeper ended\n");
    EXPECT_EQ(logCount("Start Tessarion main program"), 8u);
    // Nothing launches it any more, not even a Start.
    instruct("TessarionInstruction_Start");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(allLaunches(), 8u);
}

TEST_F(Keeper, AServiceLeftRunningIsEndedBeforeTheFirstLaunch) {
    HANDLE old = start("KVLBTessarionMain.exe", "old");
    ASSERT_TRUE(pollUntil([&] { return countOf(service(), "ready\n") == 1; }));
    CloseHandle(old);
    startKeeper();
    waitListening(2);
    EXPECT_EQ(service(), "run old\nready\nfinal\nrun 0\nready\n");
    EXPECT_TRUE(
        logHas("[KVLBTessarionMonitor.exe] KVLBTessarionMonitor.exe kill KVLBTessarionMain.exe success"));
}

TEST_F(Keeper, StopEndsTheServiceUntilStart) {
    startKeeper();
    waitListening(1);
    instruct("TessarionInstruction_Stop");
    ASSERT_TRUE(pollUntil([&] { return countOf(service(), "final\n") == 1; }, 10s));
    EXPECT_TRUE(pollUntil([&] {
        return logHas("[KVLBTessarionMonitor.exe] kill KVLBTessarionMain.exe shutdown state: Success");
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(allLaunches(), 1u);

    instruct("TessarionInstruction_Start");
    waitListening(2);
    EXPECT_EQ(launches("0"), 2u);
}

TEST_F(Keeper, AfterARestartEveryEndIsRelaunchedAsAttemptZeroWithoutLimit) {
    startKeeper();
    waitListening(1);
    // From now on each launch crashes at once.
    standinMode("KVLBTessarionMain.exe", "exit");
    instruct("TessarionInstruction_Restart");
    ASSERT_TRUE(pollUntil([&] { return launches("0") >= 11; }));
    EXPECT_EQ(launches("1"), 0u);
    EXPECT_FALSE(logHas("too many times"));

    // A Start returns to the run state and its limit.
    instruct("TessarionInstruction_Start");
    EXPECT_TRUE(pollUntil([&] { return logHas("Restart main program too many times, shutdown Keeper"); }));
    EXPECT_EQ(launches("7"), 1u);
}

TEST_F(Keeper, ALockedSessionPausesTheKeeperUntilUnlock) {
    startKeeper();
    waitListening(1);
    // The service ends itself on the lock, as the real one does.
    desktop("lock");
    ASSERT_TRUE(pollUntil([&] { return logHas("[Keeper] Detect user switch out event, into sleep mode"); }));
    EXPECT_TRUE(eventsHave("KVLBTessarionMain.exe", "final"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(allLaunches(), 1u);
    EXPECT_FALSE(eventsHave("keeper", "refresh"));

    desktop("unlock");
    waitListening(2);
    EXPECT_EQ(launches("0"), 2u);
    EXPECT_TRUE(eventsHave("keeper", "refresh"));
}

}  // namespace
