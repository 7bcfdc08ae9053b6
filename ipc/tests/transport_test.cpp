// Instructions between real processes: a receiving program (ipc_receiver) runs the receivers on a
// channel in its own root, the test sends as the other programs do, and reads what the receiver's
// callbacks saw and what it logged.
#include "ipc/transport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "common/log.h"
#include "common/system.h"
#include "ipc/message.h"
#include "platform/test_process.h"
#include "platform/test_root.h"
#include "platform/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

using test_support::ChildProcess;
using test_support::pollUntil;
using test_support::readText;

void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
    return n;
}

constexpr char kChannel[] = "KVLBTessarionMain.exe";

class Transport : public testing::Test {
  protected:
    void SetUp() override {
        writeFile(root.ini(), "[KVLBTessarion]\nLog File=C:\\logs\\ipc.log\nLog Level=5\n");
        std::filesystem::create_directories(root.c("logs"));
    }
    void TearDown() override { children.clear(); }  // ends the receivers still running

    ChildProcess* startReceiver(const char* name, std::vector<std::string> options,
                                const char* channel = kChannel) {
        std::vector<std::string> args{KVLB_RECEIVER_PROGRAM, channel, root.path(), name};
        args.insert(args.end(), options.begin(), options.end());
        children.push_back(std::make_unique<ChildProcess>(args));
        ChildProcess* child = children.back().get();
        EXPECT_TRUE(child->started()) << name << " was not started";
        EXPECT_TRUE(pollUntil([&] { return hasEvent(name, "ready"); })) << name << " did not start";
        if (std::find(options.begin(), options.end(), "--lock-only") == options.end()) {
            EXPECT_NE(channelWindow(channel), nullptr) << name << " has no channel window";
        }
        return child;
    }
    std::vector<std::string> events(const char* name) {
        std::vector<std::string> out;
        std::string text = readText(root.path() + "/" + name + ".events");
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) break;
            out.push_back(text.substr(pos, end - pos));
            pos = end + 1;
        }
        return out;
    }
    bool hasEvent(const char* name, const std::string& e) {
        auto list = events(name);
        return std::find(list.begin(), list.end(), e) != list.end();
    }
    // The writer names its files after the day, so every file of the log folder is read.
    std::string log() {
        std::string all;
        std::error_code ec;
        for (auto& f : std::filesystem::directory_iterator(root.c("logs"), ec))
            all += readText(f.path().string());
        return all;
    }
    HWND channelWindow(const char* channel = kChannel) {
        std::wstring wide(channel, channel + strlen(channel));
        HWND w = nullptr;
        pollUntil([&] { return (w = FindWindowW(wide.c_str(), nullptr)) != nullptr; });
        return w;
    }
    // The window transport alone, with a message the caller may alter after it was signed.
    void sendByWindow(const char* instruction, const std::function<void(TessarionMessage*)>& alter = {}) {
        HWND w = channelWindow();
        ASSERT_NE(w, nullptr);
        TessarionMessage* m = newIpcMessage("IpcTest", kChannel, instruction);
        ASSERT_NE(m, nullptr);
        if (alter) alter(m);
        char* json = ipcMessageToJson(m);
        freeIpcMessage(m);
        ASSERT_NE(json, nullptr);
        COPYDATASTRUCT cds{0, (DWORD)strlen(json) + 1, json};
        SendMessageW(w, WM_COPYDATA, 0, (LPARAM)&cds);
        free(json);
    }
    // Lock mode alone, as sendIPCMsgWin does it: the name held for 100 ms.
    void sendByLock(const char* instruction, const char* channel = kChannel) {
        std::string name = std::string(channel) + instruction;
        HANDLE held = getMutexLock(name.c_str(), 100);
        Sleep(100);
        if (held) {
            ReleaseMutex(held);
            CloseHandle(held);
        }
    }
    // Lock mode lives on a 100 ms window that a receiver starved of time can miss; a missed send
    // has no effect, so it is sent again until the receiver shows it. Answers the number of
    // lock-mode sends made in all (the first one included), 0 when none got through.
    template <class F>
    int lockSendsUntil(F seen, const char* instruction, const char* channel = kChannel) {
        for (int sends = 1; sends <= 10; ++sends) {
            if (pollUntil(seen, 1500ms)) return sends;
            sendByLock(instruction, channel);
        }
        return pollUntil(seen, 1500ms) ? 11 : 0;
    }
    // A session change, as the desktop tells it to the windows registered for it: on Linux the
    // emulation's desktop driver; on Windows (Wine sends none) the test sends the session
    // manager's message to the channel window itself.
    int sessionChange(const char* verb, WPARAM code) {
#ifndef _WIN32
        (void)code;
        std::string cmd = std::string(KVLB_BIN_DIR) + "/kvlbdesktop " + verb;
        int status = system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
        (void)verb;
        DWORD_PTR answer = 0;
        return SendMessageTimeoutW(channelWindow(), WM_WTSSESSION_CHANGE, code, 1, SMTO_NORMAL, 5000, &answer)
                   ? 0
                   : 1;
#endif
    }

    platform::TestRoot root;
    std::vector<std::unique_ptr<ChildProcess>> children;
};

TEST_F(Transport, SuicideByWindowRunsTheFinalFunctionAndTheProcessGoesOn) {
    ChildProcess* receiver = startReceiver("A", {"--final"});
    sendByWindow(kInstructionSuicide);
    // the send returns only after the window procedure, final function included, has run
    EXPECT_TRUE(hasEvent("A", "final"));
    std::string text = log();
    EXPECT_NE(text.find("[Receiver-A][Normal] Receive message: TessarionInstruction_Suicide"),
              std::string::npos);
    EXPECT_NE(text.find("[Receiver-A][Normal] Execute final function"), std::string::npos);
    EXPECT_TRUE(receiver->running());
}

TEST_F(Transport, SuicideByWindowWithoutFinalFunctionExits) {
    ChildProcess* receiver = startReceiver("A", {});
    sendByWindow(kInstructionSuicide);
    EXPECT_EQ(receiver->exitCode(15s), 0);
    EXPECT_NE(log().find("[Receiver-A][Normal] Execute exit"), std::string::npos);
    EXPECT_FALSE(hasEvent("A", "final"));
}

TEST_F(Transport, SuicideByLockRunsTheFinalFunctionAndExitsWithZero) {
    ChildProcess* receiver = startReceiver("A", {"--final", "--lock-only"});
    EXPECT_TRUE(sendIPCMsgWin("IpcTest", kChannel, kInstructionSuicide));  // no window: lock mode only
    int code = -1;
    EXPECT_GT(lockSendsUntil([&] { return (code = receiver->exitCode(0ms)) != -1; }, kInstructionSuicide), 0);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(hasEvent("A", "final"));
    std::string text = log();
    EXPECT_NE(text.find("[Receiver-A][Normal] IPC Message Lock Mode: Recivie Suicide message"),
              std::string::npos);
    EXPECT_NE(text.find("[Receiver-A][Normal] IPC Message Lock Mode: Exec final function"),
              std::string::npos);
}

TEST_F(Transport, StartWithoutStartFunctionIsAnsweredOnceByEachTransport) {
    ChildProcess* receiver = startReceiver("A", {"--final"});
    EXPECT_TRUE(sendIPCMsgWin("IpcTest", kChannel, kInstructionStart));
    const std::string byLock = "[Receiver-A][Normal] IPC Message Lock Mode: Recivie start message";
    int sends = lockSendsUntil([&] { return log().find(byLock) != std::string::npos; }, kInstructionStart);
    ASSERT_GT(sends, 0);
    // one send counts once in lock mode: the sender holds 100 ms, the receiver pauses 100 ms
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string text = log();
    size_t lockHits = countOf(text, byLock);
    EXPECT_EQ(countOf(text, "[Receiver-A][Normal] Receive message: TessarionInstruction_Start"), 1u);
    EXPECT_GE(lockHits, 1u);
    EXPECT_LE(lockHits, (size_t)sends);
    EXPECT_EQ(countOf(text, "[Receiver-A][Normal] No start function"), 1u + lockHits);
    EXPECT_TRUE(receiver->running());
}

TEST_F(Transport, SlotsRunOnBothTransports) {
    startReceiver("A", {"--slots"});
    auto count = [&](const char* e) {
        auto list = events("A");
        return std::count(list.begin(), list.end(), e);
    };
    for (const char* instruction : {kInstructionStop, kInstructionRestart}) {
        const char* slot = instruction == kInstructionStop ? "stop" : "restart";
        EXPECT_TRUE(sendIPCMsgWin("IpcTest", kChannel, instruction));
        EXPECT_GE(count(slot), 1);  // by window, before the send returned
        EXPECT_GT(lockSendsUntil([&] { return count(slot) >= 2; }, instruction), 0) << slot;
    }
}

TEST_F(Transport, MonitorStartIsUnknownByWindowAndStartsTheWorkerByLock) {
    // the worker the lock receiver starts is found in the machine's system folder
    const std::string worker = root.c("Windows/System32/KVLBTessarionWorker.exe");
    const std::string args = root.c("Windows/System32/KVLBTessarionWorker.args");
    struct Remove {  // the real machine's system folder outlives the case
        std::vector<std::string> files;
        ~Remove() {
            std::error_code ec;
            for (const auto& f : files) std::filesystem::remove(f, ec);
        }
    } remove{{worker, args}};
    std::filesystem::create_directories(std::filesystem::path(worker).parent_path());
    ASSERT_TRUE(std::filesystem::copy_file(KVLB_WORKER_STANDIN, worker,
                                           std::filesystem::copy_options::overwrite_existing));
    startReceiver("A", {"--final"});
    EXPECT_TRUE(sendIPCMsgWin("IpcTest", kChannel, kInstructionMonitorStart));
    EXPECT_GT(lockSendsUntil([&] { return !readText(args).empty(); }, kInstructionMonitorStart), 0);
    std::string seen = readText(args);
    EXPECT_EQ(seen.substr(0, 7), "-start\n");
    EXPECT_EQ(countOf(seen, "-start\n") * 7, seen.size());
    std::string text = log();
    EXPECT_NE(text.find("[Receiver-A][Normal] Receive UNKNOW instruction: TessarionInstruction_MonitorStart"),
              std::string::npos);
    EXPECT_NE(text.find("[Receiver-A][Normal] Receive UNKNOW message: \r\n"), std::string::npos);
    EXPECT_NE(text.find("[Receiver-A][Normal] IPC Message Lock Mode: Recivie MonitorStart message"),
              std::string::npos);
}

// Resigns a message whose time value is moved back by the given seconds.
void makeOlder(TessarionMessage* m, int seconds) {
    char text[32];
    snprintf(text, sizeof text, "%llx", (unsigned long long)(getIpcTimeValue() - seconds));
    std::string t(text);
    char** pieces[] = {&m->TimeValue0, &m->TimeValue1, &m->TimeValue2, &m->TimeValue3};
    size_t cut[] = {0, 3, 7, 11, 16};
    for (int i = 0; i < 4; ++i) {
        free(*pieces[i]);
        *pieces[i] = strdup(cut[i] < t.size() ? t.substr(cut[i], cut[i + 1] - cut[i]).c_str() : "");
    }
    free(m->HashValue);
    m->HashValue = buildMessageHash(m);
}

TEST_F(Transport, DamagedMessagesAreRejectedAndNothingRuns) {
    ChildProcess* receiver = startReceiver("A", {"--final", "--slots"});
    HWND w = channelWindow();
    ASSERT_NE(w, nullptr);
    const std::string rejected = "[Receiver-A][Warning] [Warning] Verify TessarionMessage fail";

    char text[] = "{\"From\":\"x\"}";
    COPYDATASTRUCT noBytes{0, 0, text};
    COPYDATASTRUCT noPointer{0, 0, nullptr};
    char garbage[] = "not a message at all";
    COPYDATASTRUCT notAMessage{0, sizeof garbage, garbage};
    SendMessageW(w, WM_COPYDATA, 0, (LPARAM)&noBytes);
    SendMessageW(w, WM_COPYDATA, 0, (LPARAM)&noPointer);
    SendMessageW(w, WM_COPYDATA, 0, (LPARAM)&notAMessage);
    EXPECT_EQ(countOf(log(), rejected), 3u);

    sendByWindow(kInstructionSuicide,
                 [](TessarionMessage* m) { m->HashValue[5] = m->HashValue[5] == 'A' ? 'B' : 'A'; });
    EXPECT_EQ(countOf(log(), rejected), 4u);
    sendByWindow(kInstructionSuicide, [](TessarionMessage* m) { makeOlder(m, 5); });  // a replay
    EXPECT_EQ(countOf(log(), rejected), 5u);
    EXPECT_NE(log().find("[Receiver-A][Warning] TessarionMessage verify fail: Replay attack"),
              std::string::npos);
    sendByWindow(kInstructionSuicide);  // the receiver still acts on a sound message
    EXPECT_EQ(countOf(log(), rejected), 5u);
    EXPECT_TRUE(hasEvent("A", "final"));

    // signed correctly, but the instruction is matched exactly
    startReceiver("B", {"--slots"}, "KVLBTessarionWatchdog");
    TessarionMessage* m = newIpcMessage("IpcTest", "KVLBTessarionWatchdog", "tessarioninstruction_suicide");
    char* json = ipcMessageToJson(m);
    freeIpcMessage(m);
    COPYDATASTRUCT cds{0, (DWORD)strlen(json) + 1, json};
    SendMessageW(channelWindow("KVLBTessarionWatchdog"), WM_COPYDATA, 0, (LPARAM)&cds);
    free(json);
    EXPECT_NE(log().find("[Receiver-B][Normal] Receive UNKNOW instruction: tessarioninstruction_suicide"),
              std::string::npos);
    EXPECT_TRUE(receiver->running());
    EXPECT_TRUE(children.back()->running());
}

TEST_F(Transport, SecondWindowReceiverOnAHeldChannelFailsWhileItsLockReceiverRuns) {
    startReceiver("A", {});
    startReceiver("B", {"--slots"});
    EXPECT_NE(
        log().find(
            "[Receiver-B][Warning] [Catastrophic failure] Start Windows API IPC message receiver: Fail"),
        std::string::npos);
    EXPECT_EQ(log().find("[Receiver-A][Warning] [Catastrophic failure]"), std::string::npos);
    EXPECT_TRUE(sendIPCMsgWin("IpcTest", kChannel, kInstructionStart));
    EXPECT_GT(lockSendsUntil([&] { return hasEvent("B", "start"); }, kInstructionStart), 0);
}

TEST_F(Transport, SessionChangesFromTheDesktopSetAndClearTheSessionFlag) {
    ChildProcess* receiver = startReceiver("A", {"--session-flag", "--final"});
    ASSERT_NE(channelWindow(), nullptr);
    static const struct {
        const char* verb;
        WPARAM code;
        const char* flag;
        const char* record;
    } cases[] = {
        {"lock", WTS_SESSION_LOCK, "flag=1", "Receive windows lock signal"},
        {"unlock", WTS_SESSION_UNLOCK, "flag=0", "Receive windows unlock signal"},
        {"disconnect", WTS_CONSOLE_DISCONNECT, "flag=1", "Receive disconnect signal"},
        {"connect", WTS_CONSOLE_CONNECT, "flag=0", "Receive connect signal"},
        {"remote-disconnect", WTS_REMOTE_DISCONNECT, "flag=1", "Receive remote disconnect signal"},
        {"remote-connect", WTS_REMOTE_CONNECT, "flag=0", "Receive remote connect signal"},
    };
    size_t seen = events("A").size();
    for (auto& c : cases) {
        EXPECT_EQ(sessionChange(c.verb, c.code), 0) << c.verb;
        EXPECT_TRUE(pollUntil([&] { return events("A").size() > seen; })) << c.verb;
        auto e = events("A");
        seen = e.size();
        EXPECT_EQ(e.back(), c.flag) << c.verb;
        EXPECT_NE(log().find(std::string("[Receiver-A][Normal] ") + c.record), std::string::npos) << c.verb;
    }
    EXPECT_FALSE(hasEvent("A", "final"));
    EXPECT_TRUE(receiver->running());
}

TEST_F(Transport, LockWithoutSessionFlagRunsTheFinalFunctionAndExits) {
    ChildProcess* receiver = startReceiver("A", {"--final"});
    ASSERT_NE(channelWindow(), nullptr);
    sessionChange("lock", WTS_SESSION_LOCK);
    EXPECT_EQ(receiver->exitCode(15s), 0);
    EXPECT_TRUE(hasEvent("A", "final"));
}

TEST_F(Transport, PulseOfTheDebugModeEventTogglesLoggingInAnotherProcess) {
    if (debugStatusUpdateEvent) {
        CloseHandle(debugStatusUpdateEvent);
        debugStatusUpdateEvent = nullptr;
    }
    ASSERT_TRUE(createDebugStatusUpdateEvent());
    HANDLE first = debugStatusUpdateEvent;
    EXPECT_FALSE(createDebugStatusUpdateEvent());  // the first handle stays
    EXPECT_EQ(debugStatusUpdateEvent, first);

    startReceiver("A", {"--watcher"});
    ASSERT_TRUE(pollUntil([&] { return hasEvent("A", "log=1"); }));
    // The watcher sees a pulse only while it waits; until it is waiting, pulse again.
    auto pulseUntil = [&](const char* state, size_t after) {
        return pollUntil([&] {
            pulseDebugStatusUpdateEvent();
            return pollUntil(
                [&] {
                    auto e = events("A");
                    return std::find(e.begin() + (long)std::min(after, e.size()), e.end(), state) != e.end();
                },
                400ms);
        });
    };
    size_t before = events("A").size();
    ASSERT_TRUE(pulseUntil("log=0", before));
    EXPECT_NE(log().find("[Receiver-A][Normal] Log state: Disable"), std::string::npos);
    size_t off = events("A").size();
    EXPECT_TRUE(pulseUntil("log=1", off));  // the ini is read again
    CloseHandle(debugStatusUpdateEvent);
    debugStatusUpdateEvent = nullptr;
}

TEST(TransportCalls, RefusedWithoutAddressOrInstruction) {
    platform::TestRoot root;
    EXPECT_FALSE(sendIpcMessage(nullptr, kInstructionStart));
    EXPECT_FALSE(sendIpcMessage(kChannel, nullptr));
    EXPECT_FALSE(sendIpcMessage(kChannel, ""));
    EXPECT_FALSE(sendIPCMsgWin(nullptr, kChannel, kInstructionStart));
    EXPECT_FALSE(sendIPCMsgWin("IpcTest", nullptr, kInstructionStart));
    EXPECT_FALSE(sendIPCMsgWin("IpcTest", kChannel, nullptr));
    // nobody listens: still a success, lock mode has signalled
    EXPECT_TRUE(sendIpcMessage("NobodyHere"));
    // no event yet: a pulse does nothing
    HANDLE held = debugStatusUpdateEvent;
    debugStatusUpdateEvent = nullptr;
    pulseDebugStatusUpdateEvent();
    debugStatusUpdateEvent = held;
}

}  // namespace
