// The balloons' texts as the monitor hands them to the shell, in the Windows build: every call of
// Shell_NotifyIconW lands in a recorder here (the program's own import slot is defined below, so
// the linker takes it in place of shell32's), which keeps the records it was given.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "monitor/keeper.h"
#include "monitor/monitor.h"

namespace {

struct Call {
    DWORD message;
    NOTIFYICONDATAW record;
};
std::vector<Call> calls;

BOOL WINAPI recordCall(DWORD message, PNOTIFYICONDATAW data) {
    calls.push_back({message, *data});
    return TRUE;
}

// The balloon texts the recorder saw, in order.
std::vector<std::wstring> balloonTexts() {
    std::vector<std::wstring> texts;
    for (const Call& c : calls) {
        if ((c.record.uFlags & NIF_INFO) == 0) continue;
        EXPECT_EQ(c.message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_EQ(c.record.cbSize, NOTIFYICONDATAW_VISTA_SIZE);
        // Ended inside the field, and nothing but zeros after the end.
        size_t n = wcsnlen(c.record.szInfo, 256);
        EXPECT_LT(n, 256u);
        texts.emplace_back(c.record.szInfo, n);
    }
    return texts;
}

class BalloonRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        language.store(kLanguageEnglish);
        buildLanguageTexts();
        silentmode.store(0);
        restarted.store(0);
        std::lock_guard<std::mutex> l(trayLock);
        memset(&trayIconData, 0, sizeof trayIconData);
        trayIconData.cbSize = kTrayRecordSize;
        trayIconData.uID = 1;
    }
};

}  // namespace

// The slot the monitor's calls of Shell_NotifyIconW go through.
extern "C" {
BOOL(WINAPI* shellNotifySlot)(DWORD, PNOTIFYICONDATAW) __asm__("__imp__Shell_NotifyIconW@8") = recordCall;
}

TEST_F(BalloonRecord, StateBalloonsReachTheRecordWhole) {
    setIconRunning();
    setIconStopped();
    std::vector<std::wstring> texts = balloonTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], L"KVLBTessarion turned on");
    EXPECT_EQ(texts[1], L"KVLBTessarion turned off");
}

TEST_F(BalloonRecord, TextsUpToTheFieldReachItWhole) {
    const std::wstring longest(255, L'x');
    const wchar_t* cases[] = {L"Turn on debug mode", L"a", longest.c_str(), L"開啟除錯模式"};
    for (const wchar_t* text : cases) showBalloonText(text);
    std::wstring tooLong(300, L'y');
    showBalloonText(tooLong.c_str());
    std::vector<std::wstring> texts = balloonTexts();
    ASSERT_EQ(texts.size(), 5u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(texts[i], cases[i]);
    // Beyond the field the text ends at its last character.
    EXPECT_EQ(texts[4], std::wstring(255, L'y'));
}
