// Receiving instructions: the WM_COPYDATA path every program's window takes, the hidden channel
// window with its procedure, and the lock receiver that polls the channel's five lock-mode names.
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/codec.h"
#include "common/log.h"
#include "common/system.h"
#include "common/text.h"
#include "common/winver.h"
#include "ipc/message.h"
#include "ipc/transport.h"

namespace {

constexpr char kSource[] = "Message";
constexpr size_t kChannelSize = 512;

void setSessionFlag(unsigned char value) {
    std::atomic_ref<unsigned char>(*ipcSessionFlag).store(value);
}

// Lock or disconnect: the program pauses through its session flag, or ends when it has none.
void sessionSwitchedOut() {
    if (ipcSessionFlag != nullptr) {
        setSessionFlag(1);
        return;
    }
    if (ipcFinalFunction != nullptr) ipcFinalFunction();
    ExitProcess(0);
}

void sessionSwitchedIn() {
    if (ipcSessionFlag != nullptr) setSessionFlag(0);
}

void runSlot(IpcCallback slot, const char* executeText, const char* missingText) {
    if (slot != nullptr) {
        logNormal(executeText, "");
        slot();
    } else {
        logNormal(missingText, "");
    }
}

// The slot calls of both receivers.
void runStartSlot() {
    runSlot(ipcStartFunction, "Execute start function", "No start function");
}
void runStopSlot() {
    runSlot(ipcStopFunction, "Execute stop function", "No stop function");
}
void runRestartSlot() {
    runSlot(ipcRestartFunction, "Execute restart function", "No restart function");
}

// The channel window acts on the four instructions that steer a program and takes any other,
// MonitorStart included, for unknown.
void receiveSuicide(TessarionMessage* message) {
    ipcExitFlag.store(1);
    if (ipcFinalFunction != nullptr) {
        // the final function arranges the program's end
        logNormal("Execute final function", "");
        ipcFinalFunction();
    } else {
        logNormal("Execute exit", "");
        freeIpcMessage(message);
        ExitProcess(0);
    }
}

constexpr IpcInstructionRoute kChannelRoutes[] = {
    {kInstructionSuicide, receiveSuicide},
    {kInstructionStart, [](TessarionMessage*) { runStartSlot(); }},
    {kInstructionStop, [](TessarionMessage*) { runStopSlot(); }},
    {kInstructionRestart, [](TessarionMessage*) { runRestartSlot(); }},
};

void handleSessionChange(WPARAM code) {
    switch (code) {
        case WTS_CONSOLE_CONNECT:
            logNormal("Receive connect signal", "");
            sessionSwitchedIn();
            break;
        case WTS_REMOTE_CONNECT:
            logNormal("Receive remote connect signal", "");
            sessionSwitchedIn();
            break;
        case WTS_SESSION_UNLOCK:
            logNormal("Receive windows unlock signal", "");
            sessionSwitchedIn();
            break;
        case WTS_CONSOLE_DISCONNECT:
            logNormal("Receive disconnect signal", "");
            sessionSwitchedOut();
            break;
        case WTS_REMOTE_DISCONNECT:
            logNormal("Receive remote disconnect signal", "");
            sessionSwitchedOut();
            break;
        case WTS_SESSION_LOCK:
            logNormal("Receive windows lock signal", "");
            sessionSwitchedOut();
            break;
        default:
            logNormalInt("Receive unknow system signal: ", static_cast<int>(code));
            break;
    }
}

// A lock-mode name counts as the instruction only while a sender holds it: a name whose mutex
// cannot be had at all must not end the program as if Suicide had arrived.
bool lockNameHeld(const char* channel, const char* instruction) {
    char name[kChannelSize + 64];
    snprintf(name, sizeof name, "%s%s", channel, instruction);
    HANDLE lock = getMutexLock(name, 0);
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
        return false;
    }
    wchar_t* user = getUserName();
    wchar_t* wideName = utf8ToWide(name);
    bool held = false;
    if (user != nullptr && wideName != nullptr) {
        wchar_t full[512];
        swprintf(full, 512, L"%ls_%ls", user, wideName);
        HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, full);
        if (other != nullptr) {
            held = true;
            CloseHandle(other);
        }
    }
    free(user);
    free(wideName);
    return held;
}

void startThread(void* (*body)(void*), char* channel) {
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attr, body, channel) != 0) free(channel);
    pthread_attr_destroy(&attr);
}

void dispatchInstruction(TessarionMessage* message, const IpcCopyDataRules& rules) {
    const char* instruction = message->Instruction;
    logNormal("Receive COPYDATA message: ", instruction);
    for (const IpcInstructionRoute& route : rules.routes) {
        if (strcmp(instruction, route.instruction) != 0) continue;
        if (rules.routedMessage != nullptr) logNormal(rules.routedMessage, instruction);
        route.handle(message);
        return;
    }
    logNormal(rules.unknown.instruction, instruction);
    logNormal(rules.unknown.message, message->Message);
}

// What the channel window procedure hands the shared receive path.
constexpr IpcCopyDataRules kChannelRules = {
    .allocFailSource = kSource,
    .verifyFail = {"[Warning] ", "Verify TessarionMessage fail"},
    .routedMessage = "Receive message: ",
    .unknown = {"Receive UNKNOW instruction: ", "Receive UNKNOW message: "},
    .routes = kChannelRoutes,
};

}  // namespace

void receiveIpcCopyData(const COPYDATASTRUCT* data, const IpcCopyDataRules& rules) {
    // No data is no message: it fails the check below like any other text that is not one.
    char* text = nullptr;
    if (data != nullptr && data->lpData != nullptr && data->cbData != 0) {
        // The bytes need not end in a NUL; the parser gets a terminated copy.
        text = static_cast<char*>(allocZeroed(static_cast<size_t>(data->cbData) + 1));
        if (text == nullptr) {
            if (rules.allocFailSource != nullptr) reportAllocFail(rules.allocFailSource, __LINE__);
            return;
        }
        memcpy(text, data->lpData, data->cbData);
    }
    TessarionMessage* message = parseIpcMessage(text);
    free(text);
    if (message == nullptr) {
        if (rules.allocFailSource != nullptr) reportAllocFail(rules.allocFailSource, __LINE__);
        return;
    }
    if (!verifyIpcMessage(message)) {
        logWarning(rules.verifyFail.message, rules.verifyFail.value);
        freeIpcMessage(message);
        return;
    }
    dispatchInstruction(message, rules);
    freeIpcMessage(message);
}

void runWindowUntilQuit(HWND window) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (IsWindow(window)) DestroyWindow(window);
}

LRESULT CALLBACK ipcWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA)
        receiveIpcCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam), kChannelRules);
    else if (message == WM_WTSSESSION_CHANGE)
        handleSessionChange(wParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

void* ipcWindowReceiver(void* channelArg) {
    char channel[kChannelSize];
    copyBounded(channel, sizeof channel, static_cast<const char*>(channelArg));
    free(channelArg);
    wchar_t* name = utf8ToWide(channel);
    if (name != nullptr && FindWindowW(name, nullptr) == nullptr) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = ipcWindowProc;
        windowClass.lpszClassName = name;
        if (RegisterClassW(&windowClass) != 0) {
            HWND window = CreateWindowExW(0, name, name, 8, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
            if (window != nullptr) {
                logNormal("Windows API IPC message channel: ", channel);
                logNormal("Start Windows API IPC message receiver: ", "Success");
                WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION);
                runWindowUntilQuit(window);
            }
            UnregisterClassW(name, nullptr);
        }
    }
    free(name);
    logWarning("[Catastrophic failure] Start Windows API IPC message receiver: ", "Fail");
    return nullptr;
}

void* ipcLockReceiver(void* inputChannel) {
    if (inputChannel == nullptr) {
        reportNullParameter("inputChannel", kSource, __LINE__);
        return nullptr;
    }
    char channel[kChannelSize];
    copyBounded(channel, sizeof channel, static_cast<const char*>(inputChannel));
    free(inputChannel);
    while (ipcExitFlag.load() == 0) {
        if (lockNameHeld(channel, kInstructionSuicide)) {
            logNormal("IPC Message Lock Mode: ", "Recivie Suicide message");
            if (ipcFinalFunction != nullptr) {
                logNormal("IPC Message Lock Mode: ", "Exec final function");
                ipcFinalFunction();
            }
            ExitProcess(0);
        }
        if (lockNameHeld(channel, kInstructionMonitorStart)) {
            logNormal("IPC Message Lock Mode: ", "Recivie MonitorStart message");
            hideNOWaitCommand(WORKER_START_COMMAND);
            Sleep(100);
        }
        if (lockNameHeld(channel, kInstructionStart)) {
            logNormal("IPC Message Lock Mode: ", "Recivie start message");
            runStartSlot();
            Sleep(100);
        }
        if (lockNameHeld(channel, kInstructionStop)) {
            logNormal("IPC Message Lock Mode: ", "Recivie stop message");
            runStopSlot();
            Sleep(100);
        }
        if (lockNameHeld(channel, kInstructionRestart)) {
            logNormal("IPC Message Lock Mode: ", "Recivie restart message");
            runRestartSlot();
            Sleep(100);
        }
        Sleep(50);
    }
    return nullptr;
}

void startIpcReceivers(const char* channel) {
    if (channel == nullptr) {
        reportNullParameter("channel", kSource, __LINE__);
        return;
    }
    char* windowChannel = copyString(channel);
    char* lockChannel = copyString(channel);
    if (windowChannel == nullptr || lockChannel == nullptr) {
        reportAllocFail(kSource, __LINE__);
        free(windowChannel);
        free(lockChannel);
        return;
    }
    startThread(ipcWindowReceiver, windowChannel);
    startThread(ipcLockReceiver, lockChannel);
    if ((getWindowsVersionFlags() & WINVER_XP) != 0) {
        logNormal("IPC mode: ", "Windows API mode");
    } else {
        logNormal("IPC mode: ", "Cross platform + Windows API mode");
        Sleep(500);
    }
}

void startIpcLockReceiver() {
    char* channel = copyString(IPC_CHANNEL_MONITOR);
    if (channel == nullptr) {
        reportAllocFail(kSource, __LINE__);
        return;
    }
    startThread(ipcLockReceiver, channel);
}
