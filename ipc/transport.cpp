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

namespace {

// The signed message as JSON in WM_COPYDATA; false when memory runs out.
bool sendCopyData(HWND window, const char* from, const char* to, const char* instruction) {
    TessarionMessage* message = newIpcMessage(from, to, instruction);
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
    return true;
}

// The window transport: a channel without a window is logged and passed over; false only when
// memory runs out.
bool sendByWindow(const char* from, const char* to, const char* instruction) {
    wchar_t* wideTo = utf8ToWide(to);
    if (wideTo == nullptr) {
        reportAllocFail(kSource, __LINE__);
        return false;
    }
    HWND window = FindWindowW(wideTo, nullptr);
    free(wideTo);
    if (window != nullptr) return sendCopyData(window, from, to, instruction);
    char bounded[256];
    copyBounded(bounded, sizeof bounded, to);
    logError("sendIPCMsgWin can't find window ", bounded);
    return true;
}

// Lock mode: the name "<channel><instruction>" held long enough for the receiver's poll to see it.
void signalByLock(const char* to, const char* instruction) {
    size_t nameSize = strlen(to) + strlen(instruction) + 1;
    char* name = static_cast<char*>(allocZeroed(nameSize));
    if (name == nullptr) {
        reportAllocFail(kSource, __LINE__);
        return;
    }
    snprintf(name, nameSize, "%s%s", to, instruction);
    HANDLE lock = getMutexLock(name, kLockHoldMs);
    free(name);
    Sleep(kLockHoldMs);
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}

}  // namespace

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
    if (!sendByWindow(kcstrInputFrom, kcstrInputTo, kcstrInputInstruction)) return false;
    logNormal("sendIPCMsgWin: ", "Lock Mode");
    // A failed allocation here still answers true: the window transport has done its part.
    signalByLock(kcstrInputTo, kcstrInputInstruction);
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
