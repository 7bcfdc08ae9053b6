// Finding and ending processes by image name, and the per-user mutex release.
#include "process_control/tests/process_control_fixture.h"

#include "common/system.h"
#include "process_control/process_control.h"

namespace {

using harness::pollUntil;

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

TEST(ProcessControlMutex, ReleasedMutexIsFreeForOthers) {
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
