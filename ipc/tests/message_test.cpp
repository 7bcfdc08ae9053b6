// The signed instruction message: its fields, JSON text and hash, the time value, the two-second
// window in which a receiver takes it, and parsing and checking on several threads at once.
#include "ipc/message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/shared_secrets.h"
#include "crypto/sha512.h"
#include "platform/root.h"
#include "platform/test_support.h"
#include "platform/win_base.h"
#include "test_support/clock.h"
#include "test_support/log_capture.h"

namespace {

#ifndef _WIN32
using test_support::setClock;
#endif

std::string take(char* text) {
    std::string out = text ? text : "<null>";
    std::free(text);
    return out;
}

std::string joinedTime(const TessarionMessage* m) {
    return std::string(m->TimeValue0) + m->TimeValue1 + m->TimeValue2 + m->TimeValue3;
}

std::string toJson(const TessarionMessage* m) {
    return take(ipcMessageToJson(m));
}

bool verifyText(const std::string& json) {
    TessarionMessage* m = parseIpcMessage(json.c_str());
    EXPECT_NE(m, nullptr);
    const bool ok = verifyIpcMessage(m);
    freeIpcMessage(m);
    return ok;
}

std::string replaceFirst(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// Each case has its own machine root. On Linux the tests move its clock instead of sleeping.
class IpcMessage : public testing::Test {
  protected:
    // Waits, or on Linux moves the clock, to a second whose time value has hex letters in its
    // last digit and keeps one for the next second too.
    testing::AssertionResult atTimeWithHexLetters() {
#ifndef _WIN32
        return setClock(2026, 12, 10, 9, 0, 11);
#else
        const bool found = test_support::pollUntil(
            [] {
                const std::string text = take(getIpcTimeValueText());
                return !text.empty() && text.back() >= 'a' && text.back() <= 'e';
            },
            20s);
        return found ? testing::AssertionSuccess() : testing::AssertionFailure() << "no such second";
#endif
    }

    LogCapture log;
};

TEST_F(IpcMessage, NewMessageHashesAndSerialisesItsFields) {
    TessarionMessage* m =
        newIpcMessage("KVLBTessarionMonitor.exe", "KVLBTessarionMain.exe", kInstructionSuicide);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->Message, "");
    const std::string time = joinedTime(m);
    // The pieces are the time text cut at 3, 7 and 11.
    EXPECT_LE(std::strlen(m->TimeValue0), 3u);
    EXPECT_LE(std::strlen(m->TimeValue1), 4u);
    const long long age = getIpcTimeValue() - std::strtoll(time.c_str(), nullptr, 16);
    EXPECT_TRUE(age >= 0 && age <= 2) << time;
    EXPECT_EQ(time.find_first_not_of("0123456789abcdef"), std::string::npos) << time;

    // The hash covers From, To, the time, the salt, Instruction and Message, in that order.
    const std::string signedText = std::string("KVLBTessarionMonitor.exe") + "KVLBTessarionMain.exe" + time +
                                   kMessageSalt + kInstructionSuicide;
    EXPECT_EQ(std::string(m->HashValue), take(sha512Hex(signedText.c_str())));

    EXPECT_EQ(toJson(m),
              "{\"From\":\"KVLBTessarionMonitor.exe\", \"To\":\"KVLBTessarionMain.exe\", "
              "\"Instruction\":\"TessarionInstruction_Suicide\", \"Message\":\"\", \"TimeValue\":\"" +
                  time + "\", \"HashValue\":\"" + m->HashValue + "\"}");
    EXPECT_TRUE(verifyIpcMessage(m));
    EXPECT_TRUE(verifyText(toJson(m)));
    freeIpcMessage(m);

    EXPECT_EQ(newIpcMessage(nullptr, "To", kInstructionStop), nullptr);
    EXPECT_EQ(newIpcMessage("From", nullptr, kInstructionStop), nullptr);
    EXPECT_EQ(newIpcMessage("From", "To", nullptr), nullptr);
    EXPECT_EQ(ipcMessageToJson(nullptr), nullptr);
    freeIpcMessage(nullptr);
}

#ifndef _WIN32
// Cases at chosen times: only the emulated machine's clock can be moved.
TEST_F(IpcMessage, TimeValueFollowsItsFormula) {
    struct Case {
        int year, month, day, hour, minute, second;
        long long value;
    };
    // (years since 1900 - 115) * Y + ((day * 24 + hour) * 60 + minute) * 60 + second; Y has 366
    // days when the years-since-1900 count is a leap count. The month does not enter.
    const Case cases[] = {
        {2021, 3, 5, 10, 20, 30, 6LL * 31536000 + ((5 * 24 + 10) * 60 + 20) * 60 + 30},
        {2021, 7, 5, 10, 20, 30, 6LL * 31536000 + ((5 * 24 + 10) * 60 + 20) * 60 + 30},
        {2024, 12, 31, 23, 59, 59, 9LL * 31622400 + ((31 * 24 + 23) * 60 + 59) * 60 + 59},
        {2016, 1, 1, 0, 0, 0, 1LL * 31622400 + 24 * 3600},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(setClock(c.year, c.month, c.day, c.hour, c.minute, c.second));
        const long long value = getIpcTimeValue();
        const std::string text = take(getIpcTimeValueText());
        EXPECT_EQ(value, c.value) << c.year << "-" << c.month;
        char expected[32];
        std::snprintf(expected, sizeof expected, "%llx", c.value);
        EXPECT_EQ(text, expected);
    }
    ASSERT_TRUE(setClock(2023, 6, 1, 0, 0, 0));
    EXPECT_EQ(take(getIpcTimeValueText()).size(), 7u);
    ASSERT_TRUE(setClock(2024, 6, 1, 0, 0, 0));
    EXPECT_EQ(take(getIpcTimeValueText()).size(), 8u);
}

TEST_F(IpcMessage, AcceptedWithinTwoSecondsThenReplayRefused) {
    ASSERT_TRUE(setClock(2026, 3, 10, 12, 0, 0));
    TessarionMessage* m = newIpcMessage("TessarionWorker", "KVLBTessarionMonitor.exe", kInstructionStart);
    ASSERT_NE(m, nullptr);
    const std::string json = toJson(m);
    freeIpcMessage(m);
    EXPECT_TRUE(verifyText(json));
    ASSERT_TRUE(setClock(2026, 3, 10, 12, 0, 2));
    EXPECT_TRUE(verifyText(json));
    ASSERT_TRUE(setClock(2026, 3, 10, 12, 0, 3));
    ASSERT_TRUE(log.working());
    const size_t before = log.text().size();
    EXPECT_FALSE(verifyText(json));
    const std::string records = log.text().substr(before);
    EXPECT_NE(records.find("[Warning] TessarionMessage now time value: "), std::string::npos) << records;
    EXPECT_NE(records.find("[Warning] TessarionMessage message time value: "), std::string::npos);
    EXPECT_NE(records.find("[Warning] TessarionMessage verify fail: Replay attack"), std::string::npos);
    EXPECT_EQ(records.find("verify state"), std::string::npos) << "no hash check after a replay";
    // A clock put back is refused too: the difference wraps to a huge number.
    ASSERT_TRUE(setClock(2026, 3, 10, 12, 0, 10));
    TessarionMessage* fresh = newIpcMessage("TessarionWorker", "KVLBTessarionMonitor.exe", kInstructionStart);
    const std::string freshJson = toJson(fresh);
    freeIpcMessage(fresh);
    ASSERT_TRUE(setClock(2026, 3, 10, 12, 0, 5));
    EXPECT_FALSE(verifyText(freshJson));
}

TEST_F(IpcMessage, MonthBoundaryBreaksTheWindow) {
    // Within a month a second later is fine ...
    ASSERT_TRUE(setClock(2026, 1, 30, 23, 59, 59));
    TessarionMessage* m =
        newIpcMessage("KVLBTessarionMonitor.exe", "KVLBTessarionWatchdog", kInstructionSuicide);
    ASSERT_NE(m, nullptr);
    std::string json = toJson(m);
    freeIpcMessage(m);
    ASSERT_TRUE(setClock(2026, 1, 31, 0, 0, 0));
    EXPECT_TRUE(verifyText(json));
    // ... but from the last second of a month to the first of the next the value falls back.
    ASSERT_TRUE(setClock(2026, 1, 31, 23, 59, 59));
    m = newIpcMessage("KVLBTessarionMonitor.exe", "KVLBTessarionWatchdog", kInstructionSuicide);
    json = toJson(m);
    freeIpcMessage(m);
    ASSERT_TRUE(setClock(2026, 2, 1, 0, 0, 0));
    ASSERT_TRUE(log.working());
    EXPECT_FALSE(verifyText(json));
    EXPECT_TRUE(log.has("[Warning] TessarionMessage verify fail: Replay attack")) << log.text();
}
#endif

TEST_F(IpcMessage, AnyChangeOrMissingKeyFails) {
    // A time with hex letters in it, so that upper case makes a difference.
    ASSERT_TRUE(atTimeWithHexLetters());
    TessarionMessage* m =
        newIpcMessage("KVLBTessarionMonitor.exe", "KVLBTessarionMain.exe", kInstructionRestart);
    ASSERT_NE(m, nullptr);
    const std::string json = toJson(m);
    const std::string time = joinedTime(m);
    const std::string hash = m->HashValue;
    freeIpcMessage(m);
    std::string upperTime = time;
    for (auto& c : upperTime) c = char(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_NE(upperTime, time) << "pick a time with hex letters";
    std::string lowerHash = hash;
    for (auto& c : lowerHash) c = char(std::tolower(static_cast<unsigned char>(c)));
    std::string otherHash = hash;
    otherHash[64] = otherHash[64] == '0' ? '1' : '0';

    ASSERT_TRUE(verifyText(json));
    // Keys in any letter case are found.
    EXPECT_TRUE(verifyText(
        replaceFirst(replaceFirst(json, "\"From\"", "\"from\""), "\"HashValue\"", "\"HASHVALUE\"")));

    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"From", replaceFirst(json, "KVLBTessarionMonitor.exe", "KVLBTessarionMonitor.exf")},
        {"To", replaceFirst(json, "KVLBTessarionMain.exe", "KVLBTessarionMain.ex")},
        {"Instruction", replaceFirst(json, kInstructionRestart, kInstructionSuicide)},
        {"Message", replaceFirst(json, "\"Message\":\"\"", "\"Message\":\"x\"")},
        {"upper-case TimeValue", replaceFirst(json, time, upperTime)},
        {"lower-case HashValue", replaceFirst(json, hash, lowerHash)},
        {"one hash digit", replaceFirst(json, hash, otherHash)},
        {"TimeValue of 20 characters",
         replaceFirst(json, "\"" + time, "\"" + std::string(20 - time.size(), '0') + time)},
        {"no From", replaceFirst(json, "\"From\"", "\"Frm\"")},
        {"no To", replaceFirst(json, "\"To\"", "\"T0\"")},
        {"no Instruction", replaceFirst(json, "\"Instruction\"", "\"Instr\"")},
        {"no Message", replaceFirst(json, "\"Message\"", "\"Msg\"")},
        {"no TimeValue", replaceFirst(json, "\"TimeValue\"", "\"Time\"")},
        {"no HashValue", replaceFirst(json, "\"HashValue\"", "\"Hash\"")},
        {"empty", ""},
        {"not JSON", "Suicide please"},
        {"empty object", "{}"},
        {"cut short", json.substr(0, json.size() / 2)},
    };
    ASSERT_TRUE(log.working());
    for (const auto& c : cases) EXPECT_FALSE(verifyText(c.text)) << c.name;
    EXPECT_TRUE(log.has("[Warning] TessarionMessage verify state: Fail")) << log.text();

    // A parse of NULL gives a record with every field missing, which fails quietly.
    TessarionMessage* empty = parseIpcMessage(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->From, nullptr);
    EXPECT_EQ(empty->HashValue, nullptr);
    EXPECT_FALSE(verifyIpcMessage(empty));
    EXPECT_EQ(ipcMessageToJson(empty), nullptr);
    freeIpcMessage(empty);
    EXPECT_FALSE(verifyIpcMessage(nullptr));
}

TEST_F(IpcMessage, TimeValueBeyondSixteenCharactersIsCut) {
    // 17 to 19 characters: only the first 16 enter the pieces.
    TessarionMessage* m = parseIpcMessage("{\"TimeValue\":\"0123456789abcdefXYZ\"}");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->TimeValue0, "012");
    EXPECT_STREQ(m->TimeValue1, "3456");
    EXPECT_STREQ(m->TimeValue2, "789a");
    EXPECT_STREQ(m->TimeValue3, "bcdef");
    freeIpcMessage(m);
    // A short one leaves the last pieces empty.
    m = parseIpcMessage("{\"TimeValue\":\"1a2b3c4\"}");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->TimeValue0, "1a2");
    EXPECT_STREQ(m->TimeValue1, "b3c4");
    EXPECT_STREQ(m->TimeValue2, "");
    EXPECT_STREQ(m->TimeValue3, "");
    freeIpcMessage(m);
}

TEST_F(IpcMessage, ThreadsParseAndVerifyAtTheSameTime) {
    // The monitor parses on its tray window and its receivers at once; nothing may be shared.
    logEnabled = 0;
    std::vector<std::thread> threads;
    std::vector<int> accepted(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &accepted] {
            const std::string from = "TessarionWorker-" + std::to_string(t);
            for (int i = 0; i < 200; ++i) {
                TessarionMessage* m =
                    newIpcMessage(from.c_str(), "KVLBTessarionMonitor.exe", kInstructionStop);
                char* json = ipcMessageToJson(m);
                TessarionMessage* parsed = parseIpcMessage(json);
                if (parsed && parsed->From && from == parsed->From && verifyIpcMessage(parsed)) ++accepted[t];
                freeIpcMessage(parsed);
                std::free(json);
                freeIpcMessage(m);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(accepted[t], 200) << "thread " << t;
}

}  // namespace
