// Named mutexes and events, within a process and across the machine's processes.
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_root.h"
#include "platform/win_base.h"
#include "test_util.h"

namespace {

using test_support::pollUntil;
using testutil::installChild;
using testutil::slurp;
using testutil::start;

DWORD waitInThread(HANDLE h, DWORD ms) {
    DWORD r = WAIT_FAILED;
    std::thread([&] { r = WaitForSingleObject(h, ms); }).join();
    return r;
}

// A child process that creates the mutex, takes it and waits to be killed; the process handle.
HANDLE startHolder(platform::TestRoot& root, const wchar_t* name) {
    std::wstring child = installChild(L"C:\\Apps\\Holder.exe");
    HANDLE p = start(child + L" mutex " + name + L" C:\\held.txt");
    if (p && !pollUntil([&] { return slurp(root.c("held.txt")) == "held"; })) return nullptr;
    return p;
}

void endHolder(HANDLE process) {
    ASSERT_TRUE(TerminateProcess(process, 9));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 20000));
    CloseHandle(process);
}

TEST(Mutex, KilledHolderIsReportedAbandonedOnceToAHandleKeptOpen) {
    platform::TestRoot root;
    const wchar_t* name = L"Global\\User_KVLBTessarionMain.exeTessarionInstruction_Suicide";
    HANDLE p = startHolder(root, name);
    ASSERT_NE(nullptr, p);

    // Held elsewhere: a wait of 0 answers at once, and so does a short one.
    HANDLE m = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m, 50));

    // This handle keeps the object alive across the holder's death, and so does a second one
    // opened afterwards.
    endHolder(p);
    HANDLE again = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
    CloseHandle(again);
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 0));  // and the waiter owns it now
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(Mutex, AbandonedMutexEndsWithItsLastHandle) {
    platform::TestRoot root;
    for (const wchar_t* name : {L"Global\\User_KVLBTessarionWatchdog", L"User_KVLBTessarionMonitor.exe"}) {
        SCOPED_TRACE(std::string(name, name + std::wcslen(name)));
        std::filesystem::remove(root.c("held.txt"));
        HANDLE p = startHolder(root, name);
        ASSERT_NE(nullptr, p);
        endHolder(p);  // nobody else had it open: the object is gone with the holder
        EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, name));
        HANDLE m = CreateMutexW(nullptr, FALSE, name);
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(ERROR_SUCCESS, GetLastError());  // a new object of that name
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
        EXPECT_EQ(WAIT_TIMEOUT, waitInThread(m, 0));  // owned, not left free
        EXPECT_TRUE(ReleaseMutex(m));
        CloseHandle(m);
    }
}

// Processes that open and close the name while others hold it or let go never see an
// abandonment nobody caused, and never hold it together.
TEST(Mutex, ConcurrentOpenersAndClosersShareItCleanly) {
    platform::TestRoot root;
    std::wstring child = installChild(L"C:\\Apps\\Churn.exe");
    const int kProcesses = 4, kRounds = 150;
    std::vector<HANDLE> runs;
    for (int i = 0; i < kProcesses; ++i) {
        HANDLE p = start(child + L" churn Global\\Churn " + std::to_wstring(kRounds) + L" C:\\count.txt");
        ASSERT_NE(nullptr, p);
        runs.push_back(p);
    }
    for (HANDLE p : runs) {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p, 60000));
        DWORD code = 99;
        GetExitCodeProcess(p, &code);
        EXPECT_EQ(0u, code);
        CloseHandle(p);
    }
    EXPECT_EQ(std::to_string(kProcesses * kRounds), slurp(root.c("count.txt")));
}

TEST(Mutex, OwnedByAThreadAndRecursive) {
    platform::TestRoot root;
    HANDLE m = CreateMutexW(nullptr, TRUE, L"User_Lock");
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // again, by the owner
    EXPECT_EQ(WAIT_TIMEOUT, waitInThread(m, 0));
    DWORD notOwner = 0;
    std::thread([&] {
        ReleaseMutex(m);
        notOwner = GetLastError();
    }).join();
    EXPECT_EQ(ERROR_NOT_OWNER, notOwner);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_TIMEOUT, waitInThread(m, 0));  // still held once
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    // A waiter with a time-out gets it when the owner lets go.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
    std::atomic<DWORD> got{WAIT_FAILED};
    std::thread waiter([&] {
        got = WaitForSingleObject(m, 20000);
        if (got == WAIT_OBJECT_0) ReleaseMutex(m);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ReleaseMutex(m);
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, got.load());
    CloseHandle(m);
}

TEST(Mutex, AThreadThatEndsHoldingItAbandonsIt) {
    platform::TestRoot root;
    HANDLE m = CreateMutexW(nullptr, FALSE, L"Global\\ZTLog");
    EXPECT_EQ(WAIT_OBJECT_0, waitInThread(m, 0));  // that thread ends without releasing
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m, 20000));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WAIT_OBJECT_0, waitInThread(m, 0));
    CloseHandle(m);
}

TEST(Mutex, GlobalAndSessionNamesAreApartAndOpenNeedsAHolder) {
    platform::TestRoot root;
    EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\ZTLog"));
    HANDLE g = CreateMutexA(nullptr, FALSE, "Global\\ZTLog");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g, 0));
    HANDLE s = CreateMutexW(nullptr, FALSE, L"ZTLog");
    EXPECT_EQ(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, waitInThread(s, 0));
    HANDLE o = OpenMutexA(SYNCHRONIZE, FALSE, "Global\\ZTLog");
    ASSERT_NE(nullptr, o);
    EXPECT_EQ(WAIT_TIMEOUT, waitInThread(o, 0));
    ReleaseMutex(g);
    for (HANDLE h : {g, s, o}) CloseHandle(h);
    EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\ZTLog"));
}

TEST(Event, OpenNeedsAHolder) {
    platform::TestRoot root;
    const wchar_t* name = L"KVLBTessarion_DEBUG_MODE";
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, name);
    ASSERT_NE(nullptr, e);
    HANDLE o = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
    ASSERT_NE(nullptr, o);
    // One object behind both handles.
    EXPECT_TRUE(SetEvent(o));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    CloseHandle(o);
    CloseHandle(e);
    EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, name));
    // A fresh creation starts from its own initial state.
    e = CreateEventW(nullptr, TRUE, FALSE, name);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    CloseHandle(e);
}

TEST(Event, ManualAndAutoReset) {
    platform::TestRoot root;
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, L"m");
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    ResetEvent(manual);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
    HANDLE autoReset = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetEvent(autoReset);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoReset, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoReset, 0));
    // A pulse with nobody waiting leaves nothing behind.
    PulseEvent(manual);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
    // A pulse wakes a thread that is waiting.
    std::atomic<DWORD> got{WAIT_FAILED};
    std::thread t([&] { got = WaitForSingleObject(manual, 20000); });
    EXPECT_TRUE(pollUntil([&] {
        SetEvent(manual);  // set and reset at once, as the monitor pulses
        ResetEvent(manual);
        return got.load() != WAIT_FAILED;
    }));
    t.join();
    EXPECT_EQ(WAIT_OBJECT_0, got.load());
    CloseHandle(manual);
    CloseHandle(autoReset);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(manual, 0));
}

TEST(Event, PulseWakesAWaiterInAnotherProcess) {
    platform::TestRoot root;
    std::wstring child = installChild(L"C:\\Apps\\Waiter.exe");
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, L"KVLBTessarion_DEBUG_MODE");
    HANDLE p = start(child + L" waitevent KVLBTessarion_DEBUG_MODE C:\\ev.txt");
    ASSERT_NE(nullptr, p);
    ASSERT_TRUE(pollUntil([&] { return slurp(root.c("ev.txt")) != ""; }));
    // The child may not be inside its wait yet; a pulse before that is rightly missed.
    EXPECT_TRUE(pollUntil([&] {
        SetEvent(e);
        ResetEvent(e);
        return WaitForSingleObject(p, 20) == WAIT_OBJECT_0;
    }));
    DWORD code = 99;
    GetExitCodeProcess(p, &code);
    EXPECT_EQ(0u, code);
    EXPECT_EQ("woken", slurp(root.c("ev.txt")));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    CloseHandle(p);
    CloseHandle(e);
}

}  // namespace
