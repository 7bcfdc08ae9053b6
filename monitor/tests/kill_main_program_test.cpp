// The monitor's escalating kill of the service: Suicide first, then termination by name, then
// taskkill.
#include "process_control/tests/process_control_fixture.h"

#include "monitor/keeper.h"

namespace {

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

}  // namespace
