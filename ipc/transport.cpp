// Sending instructions: WM_COPYDATA to the channel's window, then lock mode.
#include "ipc/transport.h"

#include <cstdlib>
#include <cstring>

#include "common/codec.h"
#include "common/log.h"
#include "common/system.h"
#include "common/text.h"
#include "ipc/message.h"

namespace {
constexpr char kSource[] = "Message";
constexpr DWORD kLockHoldMs = 100;  // the receiver polls every 50 ms, plus 100 ms after a hit
}  // namespace

IpcCallback ipcStartFunction = nullptr;
IpcCallback ipcStopFunction = nullptr;
IpcCallback ipcRestartFunction = nullptr;
IpcCallback ipcFinalFunction = nullptr;
unsigned char* ipcSessionFlag = nullptr;
std::atomic<unsigned char> ipcExitFlag{0};
const char* ipcSenderName = "TessarionWorker";

bool sendIPCMsgWin(const char* kcstrInputFrom, const char* kcstrInputTo, const char* kcstrInputInstruction) {
    if (kcstrInputFrom == nullptr) {
        reportNullParameter("kcstrInputFrom", kSource, __LINE__);
        return false;
    }
    if (kcstrInputTo == nullptr) {
        reportNullParameter("kcstrInputTo", kSource, __LINE__);
        return false;
    }
    if (kcstrInputInstruction == nullptr) {
        reportNullParameter("kcstrInputInstruction", kSource, __LINE__);
        return false;
    }
    logNormal("sendIPCMsgWin: ", "Windows API Mode");

    wchar_t* wideTo = utf8ToWide(kcstrInputTo);
    if (wideTo == nullptr) {
        reportAllocFail(kSource, __LINE__);
        return false;
    }
    HWND window = FindWindowW(wideTo, nullptr);
    free(wideTo);
    if (window != nullptr) {
        TessarionMessage* message = newIpcMessage(kcstrInputFrom, kcstrInputTo, kcstrInputInstruction);
        char* json = message != nullptr ? ipcMessageToJson(message) : nullptr;
        freeIpcMessage(message);
        char* data = json != nullptr ? copyString(json) : nullptr;
        auto* cds = static_cast<COPYDATASTRUCT*>(allocZeroed(sizeof(COPYDATASTRUCT)));
        if (json == nullptr || data == nullptr || cds == nullptr) {
            reportAllocFail(kSource, __LINE__);
            free(json);
            free(data);
            free(cds);
            return false;
        }
        cds->dwData = 0;
        cds->cbData = static_cast<DWORD>(strlen(data) + 1);  // the NUL travels with the text
        cds->lpData = data;
        // Returns once the receiving window procedure, and whatever it runs, has finished.
        SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(cds));
        free(json);
        free(data);
        free(cds);
    } else {
        char to[256];
        copyBounded(to, sizeof to, kcstrInputTo);
        logError("sendIPCMsgWin can't find window ", to);
    }

    logNormal("sendIPCMsgWin: ", "Lock Mode");
    size_t nameSize = strlen(kcstrInputTo) + strlen(kcstrInputInstruction) + 1;
    char* name = static_cast<char*>(allocZeroed(nameSize));
    if (name == nullptr) {
        reportAllocFail(kSource, __LINE__);
        return true;  // the window transport has done its part
    }
    snprintf(name, nameSize, "%s%s", kcstrInputTo, kcstrInputInstruction);
    HANDLE lock = getMutexLock(name, kLockHoldMs);
    free(name);
    Sleep(kLockHoldMs);
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
    return true;
}

bool sendIpcMessage(const char* kcstrInputTo, const char* instruction) {
    if (kcstrInputTo == nullptr) {
        reportNullParameter("kcstrInputTo", kSource, __LINE__);
        return false;
    }
    if (instruction == nullptr || instruction[0] == 0) {
        logWarning("[Warning] ", "Instruction is empty");
        return false;
    }
    logNormal("Send message mode: ", "Windows api mode");
    bool result = sendIPCMsgWin(ipcSenderName, kcstrInputTo, instruction);
    if (logEnabled.load() != 0) {
        if (result)
            logNormal("Send message final result: ", "Success");
        else
            logError("Send message final result: ", "Fail");
    }
    return result;
}

bool sendIpcMessage(const char* kcstrInputTo) {
    return sendIpcMessage(kcstrInputTo, kInstructionSuicide);
}

bool createDebugStatusUpdateEvent() {
    if (debugStatusUpdateEvent != nullptr) return false;
    HANDLE event = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, DEBUG_MODE_EVENT_NAME);
    if (event == nullptr) event = CreateEventW(nullptr, TRUE, FALSE, DEBUG_MODE_EVENT_NAME);
    debugStatusUpdateEvent = event;
    return event != nullptr;
}

void pulseDebugStatusUpdateEvent() {
    if (debugStatusUpdateEvent != nullptr && SetEvent(debugStatusUpdateEvent))
        ResetEvent(debugStatusUpdateEvent);
}
