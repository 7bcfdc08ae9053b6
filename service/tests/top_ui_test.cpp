// The top-most window watcher on the root's desktop, driven in-process: windows that appear while
// it runs are raised, windows from before and input-method windows are not, and the watched set
// follows the process filter.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/test_root.h"
#include "platform/test_support.h"
#include "platform/win_user.h"
#include "service/top_ui.h"

namespace {

LRESULT plainProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(w, m, wp, lp);
}

class ServiceTopUi : public ::testing::Test {
  protected:
    platform::TestRoot root;
    std::vector<HWND> windows;

    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = plainProc;
        wc.lpszClassName = L"TopUiTestWindow";
        RegisterClassW(&wc);
    }
    void TearDown() override {
        stopTopUi();
        for (HWND w : windows) DestroyWindow(w);
        UnregisterClassW(L"TopUiTestWindow", nullptr);
    }
    HWND open(const wchar_t* title) {
        HWND w = CreateWindowExW(0, L"TopUiTestWindow", title, 0, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                 nullptr);
        windows.push_back(w);
        return w;
    }
    static bool topMost(HWND w) { return (GetWindowLongW(w, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }
    static bool becomesTopMost(HWND w) {
        return test_support::pollUntil([w] { return topMost(w); }, 20s);
    }
    // Several watcher passes (one each 300 ms) are over.
    static void severalPasses() { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); }
};

TEST_F(ServiceTopUi, NewWindowsOfTheProcessAreRaisedOldOnesAndImeWindowsNot) {
    HWND before = open(L"before");
    startTopUi(GetCurrentProcessId(), false);
    HWND dialog = open(L"PIN dialog");
    HWND ime = open(L"Default IME");
    EXPECT_TRUE(becomesTopMost(dialog));
    severalPasses();
    EXPECT_FALSE(topMost(before));
    EXPECT_FALSE(topMost(ime));
    stopTopUi();
    HWND after = open(L"after the call");
    severalPasses();
    EXPECT_FALSE(topMost(after)) << "the watcher ends with the call";
}

TEST_F(ServiceTopUi, ProcessFilter) {
    // Watching on behalf of another process: this process's windows count only for "all windows".
    const DWORD otherProcess = GetCurrentProcessId() + 1;
    startTopUi(otherProcess, false);
    HWND ignored = open(L"other process window");
    severalPasses();
    EXPECT_FALSE(topMost(ignored));
    stopTopUi();

    startTopUi(otherProcess, true);
    HWND raised = open(L"any process window");
    EXPECT_TRUE(becomesTopMost(raised));
}

TEST_F(ServiceTopUi, ListGrowsPastTwoHundredFiftySixAndKeepsItsRoom) {
    EXPECT_EQ(topUiCapacity(), 256u);
    for (int i = 0; i < 300; ++i) open(L"many");
    startTopUi(GetCurrentProcessId(), false);
    EXPECT_EQ(topUiCapacity(), 512u);
    HWND fresh = open(L"fresh");
    EXPECT_TRUE(becomesTopMost(fresh));
    stopTopUi();
    EXPECT_EQ(topUiCapacity(), 512u) << "the next run starts with the grown room";
}

}  // namespace
