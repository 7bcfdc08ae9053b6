// How instructions travel between the programs, and how a program receives them. One send uses
// both transports: WM_COPYDATA to the hidden window whose class is the channel name, and lock
// mode, where the sender holds the per-user mutex "<channel><instruction>" for 100 ms and the
// receiver polls those names. A program fills the callback slots, then starts its receivers.
#pragma once
#include <atomic>
#include <span>

#include "platform/win_user.h"

// Channels: the class and title of the receiving window, and the prefix of its lock-mode names.
#define IPC_CHANNEL_MAIN "KVLBTessarionMain.exe"        // the service
#define IPC_CHANNEL_MONITOR "KVLBTessarionMonitor.exe"  // the monitor's tray window and lock receiver
#define IPC_CHANNEL_KEEPER "KVLBMonitor"                // the monitor's keeper
#define IPC_CHANNEL_WATCHDOG "KVLBTessarionWatchdog"    // the worker in watchdog mode

// The named event the monitor pulses when debug mode is switched on or off.
#define DEBUG_MODE_EVENT_NAME L"KVLBTessarion_DEBUG_MODE"

typedef void (*IpcCallback)(void);
struct TessarionMessage;

// Set by the program before its receivers start, read by the receiver threads without a lock.
extern IpcCallback ipcStartFunction;
extern IpcCallback ipcStopFunction;
extern IpcCallback ipcRestartFunction;
extern IpcCallback ipcFinalFunction;
// A byte of the program: 1 while the session is locked or disconnected, 0 after unlock or
// connect. Without it a lock or disconnect runs the final function and ends the process.
extern unsigned char* ipcSessionFlag;
// Set when Suicide arrives by window; the lock receivers stop polling when they see it.
extern std::atomic<unsigned char> ipcExitFlag;

// The program's own sender name for sendIpcMessage: "TessarionWorker" unless the program sets
// another (the monitor sends as "KVLBTessarionMonitor.exe").
extern const char* ipcSenderName;

// Both transports; true unless a parameter is NULL or memory runs out (a missing window is
// logged, lock mode still signals).
bool sendIPCMsgWin(const char* kcstrInputFrom, const char* kcstrInputTo, const char* kcstrInputInstruction);
// Send front end with ipcSenderName as sender.
bool sendIpcMessage(const char* kcstrInputTo, const char* instruction);
// The monitor's form: always "TessarionInstruction_Suicide".
bool sendIpcMessage(const char* kcstrInputTo);

// Window and lock receivers on the program's own channel (IPC_CHANNEL_MAIN, IPC_CHANNEL_KEEPER or
// IPC_CHANNEL_WATCHDOG), on threads of their own that live as long as the process.
void startIpcReceivers(const char* channel);
// The monitor's lock receiver on IPC_CHANNEL_MONITOR.
void startIpcLockReceiver();

// What a program's window does with one instruction that has arrived and passed the check. The
// message is freed once the handler returns; a handler that ends the process frees it first.
struct IpcInstructionRoute {
    const char* instruction;  // compared exactly
    void (*handle)(TessarionMessage* message);
};

// A log record's two parts, as logNormal and logWarning take them.
struct IpcLogText {
    const char* message;
    const char* value;
};

// The two records of an instruction no route takes: the first text logged with the instruction,
// the second with the message's free text.
struct IpcUnknownTexts {
    const char* instruction;
    const char* message;
};

// Where the programs' windows differ in taking WM_COPYDATA: the log records of the refusals and
// of a known or an unknown instruction, and the table of the instructions they act on.
struct IpcCopyDataRules {
    const char* allocFailSource;  // a failed copy or parse is reported under this name; NULL: silent
    IpcLogText verifyFail;        // the warning for a message that fails the check
    const char* routedMessage;    // logged with the instruction before its handler runs; NULL: none
    IpcUnknownTexts unknown;
    std::span<const IpcInstructionRoute> routes;
};

// One WM_COPYDATA message in: the first cbData bytes, up to the first NUL, parsed as a message,
// checked, logged as "Receive COPYDATA message: <instruction>" and handed to its route.
void receiveIpcCopyData(const COPYDATASTRUCT* data, const IpcCopyDataRules& rules);

// A channel window's thread after the window is made: its messages until WM_QUIT (or an error),
// then the window destroyed unless it is gone already.
void runWindowUntilQuit(HWND window);

// Thread bodies (argument: a heap copy of the channel name, which the thread frees).
void* ipcWindowReceiver(void* channel);
void* ipcLockReceiver(void* inputChannel);
LRESULT CALLBACK ipcWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The monitor's side of the debug-mode event (the handle is debugStatusUpdateEvent of the log
// front end): opened or created once, then pulsed at each switch.
bool createDebugStatusUpdateEvent();
void pulseDebugStatusUpdateEvent();
