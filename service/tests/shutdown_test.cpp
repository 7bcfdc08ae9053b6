// The three roads by which the service ends: Suicide by window message (after the adapter call in
// progress), Suicide by lock mode, and a lock of the Windows session.
#include "common/system.h"
#include "ipc/message.h"
#include "ipc/transport.h"
#include "platform/win_user.h"
#include "service_harness.h"

namespace svc {
namespace {

class ServiceShutdown : public ServiceTest {
  protected:
    // Suicide by the window transport alone: the signed message to the channel's hidden window.
    bool suicideByWindow() {
        HWND window = nullptr;
        pollUntil([&] { return (window = FindWindowW(L"KVLBTessarionMain.exe", nullptr)) != nullptr; });
        if (!window) return false;
        TessarionMessage* m = newIpcMessage("TessarionWorker", "KVLBTessarionMain.exe", kInstructionSuicide);
        char* text = ipcMessageToJson(m);
        COPYDATASTRUCT data{0, (DWORD)strlen(text) + 1, text};
        SendMessageW(window, WM_COPYDATA, 0, (LPARAM)&data);
        free(text);
        freeIpcMessage(m);
        return true;
    }
};

TEST_F(ServiceShutdown, SuicideByWindowWaitsForTheAdapterCall) {
    adapterSettings("sleep_ms=1500\n");
    start();
    std::string sid = openSession();
    Reply slow;
    std::thread call([&] { slow = post(json({{"SessionId", sid}, {"FunctionName", "Slow"}})); });
    ASSERT_TRUE(pollUntil([&] { return journal().find(" call Slow") != std::string::npos; }));
    ASSERT_TRUE(suicideByWindow());
    call.join();
    EXPECT_EQ(slow.get("result"), "Slow:1") << "the call in progress is answered";
    EXPECT_EQ(waitExit(), 0);
    std::string j = journal();
    auto done = j.find(" done Slow"), release = j.find(" release");
    ASSERT_NE(release, std::string::npos) << j;
    EXPECT_LT(done, release) << j;
    EXPECT_FALSE(fs::exists(sessionCopy(0)));
    EXPECT_TRUE(logHas("[TessarionFinal] Ready to suicide"));
}

TEST_F(ServiceShutdown, SuicideByLockModeExitsWithZero) {
    start();
    openSession();
    // Library files left straight in the data folder go as well, hidden ones included.
    std::ofstream(dataFolder() + "/Leftover.dll") << "x";
    std::ofstream(dataFolder() + "/Hidden.dll") << "x";
    SetFileAttributesW(L"C:\\ProgramData\\KVLBTessarionMain\\Hidden.dll", FILE_ATTRIBUTE_HIDDEN);
    std::string name = std::string("KVLBTessarionMain.exe") + kInstructionSuicide;
    HANDLE held = getMutexLock(name.c_str(), 0);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(waitExit(), 0);
    ReleaseMutex(held);
    CloseHandle(held);
    EXPECT_NE(journal().find(" release"), std::string::npos) << "the adapters were released first";
    EXPECT_FALSE(fs::exists(dataFolder() + "/Leftover.dll"));
    EXPECT_FALSE(fs::exists(dataFolder() + "/Hidden.dll"));
    EXPECT_TRUE(fs::exists(dataFolder() + "/KVLBTessarionMainVersion"));
}

TEST_F(ServiceShutdown, SuicideAsTheMonitorSendsItEndsCleanly) {
    start();
    openSession();
    ASSERT_TRUE(pollUntil([] { return FindWindowW(L"KVLBTessarionMain.exe", nullptr) != nullptr; }));
    // One send fires both transports; the two final runs must still end the process with 0.
    EXPECT_TRUE(sendIPCMsgWin("KVLBTessarionMonitor.exe", "KVLBTessarionMain.exe", kInstructionSuicide));
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(logCount("[TessarionFinal] Ready to suicide") >= 1, true);
    EXPECT_FALSE(fs::exists(sessionCopy(0)));
}

TEST_F(ServiceShutdown, SessionLockStopsTheService) {
    start();
    openSession();
    // The receiver window must exist before the lock is sent to it.
    ASSERT_TRUE(pollUntil([] { return FindWindowW(L"KVLBTessarionMain.exe", nullptr) != nullptr; }));
    std::string command = std::string(KVLB_DESKTOP_DRIVER) + " lock";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(waitExit(), 0);
    EXPECT_EQ(journal().find(" release"), std::string::npos) << "a lock does not release the adapters";
}

}  // namespace
}  // namespace svc
