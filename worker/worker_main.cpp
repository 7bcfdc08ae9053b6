// Start-up and dispatch of a worker run, the control verbs and the end of every run.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/numbers.h"
#include "common/system.h"
#include "common/text.h"
#include "ipc/transport.h"
#include "process_control/process_control.h"
#include "worker/worker.h"

char instanceTag[512];
wchar_t* moduleFolder = nullptr;
unsigned char selfDeleteFlag = 0;

namespace {

const char* const kWorkerName = "TessarionWorker";
const wchar_t* const kMonitorCommand = L"KVLBTessarionMonitor.exe";
const wchar_t* const kWatchdogCommand = L"KVLBTessarionWorker.exe -watchdog";

HANDLE controlMutex = nullptr;

bool isControlVerb(const char* line) {
    static const char* const kVerbs[] = {"-stop",    "-allstop",      "-start",
                                         "-restart", "-monitorstart", "-reset"};
    for (const char* verb : kVerbs)
        if (equalsAsciiNoCase(line, verb)) return true;
    return false;
}

// Control verbs of concurrent runs take turns: 11 tries of 200 ms, 500 ms apart.
bool takeControlMutex() {
    for (int attempt = 0; attempt < 11; ++attempt) {
        controlMutex = getMutexLock(kWorkerName, 200);
        if (controlMutex != nullptr) return true;
        Sleep(500);
    }
    logNormal("Get mutex lock time out", "");
    return false;
}

// The monitor gets the instruction when it runs; otherwise it is started.
void instructOrStartMonitor(const char* instruction) {
    if (isProcessRunning(L"" MONITOR_PROGRAM_NAME))
        sendIpcMessage(MONITOR_PROGRAM_NAME, instruction);
    else
        hideNOWaitCommand(kMonitorCommand);
}

void runControlVerb(const char* line) {
    if (!takeControlMutex()) return;
    if (equalsAsciiNoCase(line, "-start")) {
        instructOrStartMonitor("TessarionInstruction_Start");
    } else if (equalsAsciiNoCase(line, "-stop")) {
        sendIpcMessage(MONITOR_PROGRAM_NAME, "TessarionInstruction_Stop");
    } else if (equalsAsciiNoCase(line, "-restart")) {
        instructOrStartMonitor("TessarionInstruction_Restart");
    } else if (equalsAsciiNoCase(line, "-allstop") || equalsAsciiNoCase(line, "-reset")) {
        // The watchdog goes first, or it would reset the set once the monitor is gone.
        logNormal("Stop area", "");
        sendIpcMessage(IPC_CHANNEL_WATCHDOG, "TessarionInstruction_Suicide");
        Sleep(500);
        killProgram(MONITOR_PROGRAM_NAME);
        killProgram(MAIN_PROGRAM_NAME);
        if (equalsAsciiNoCase(line, "-reset")) {
            hideNOWaitCommand(kMonitorCommand);
            logNormal("Reset complete", "");
            hideNOWaitCommand(kWatchdogCommand);
        }
    }
    // "-monitorstart" only takes its turn.
}

void endRun() {
    if (controlMutex != nullptr) {
        ReleaseMutex(controlMutex);
        CloseHandle(controlMutex);
        controlMutex = nullptr;
    }
    free(moduleFolder);
    moduleFolder = nullptr;
    if (selfDeleteFlag != 0) selfDeleteAfterExit();
    if (debugStatusUpdateEvent != nullptr) {
        CloseHandle(debugStatusUpdateEvent);
        debugStatusUpdateEvent = nullptr;
    }
}

}  // namespace

bool killProgram(const char* inputTo) {
    return killProgramAs(kWorkerName, inputTo);
}

int workerMain(const char* commandLine) {
    if (commandLine == nullptr) commandLine = "";
    moduleFolder = getModuleFolder();
    char* sid = makeRandomSID();
    snprintf(instanceTag, sizeof instanceTag, "TessarionWorker-%s", sid != nullptr ? sid : "");
    free(sid);
    debugState = setLog(instanceTag) ? 1 : 0;
    logNormal("Compile time: ", __DATE__ " " __TIME__);
    logNormal("Command: ", commandLine);

    if (isControlVerb(commandLine)) {
        runControlVerb(commandLine);
    } else if (startsWith("-uninstalldetect", commandLine)) {
        if (!runUninstallDetect(commandLine)) return kResultBadArguments;
    } else if (startsWith("-delete", commandLine)) {
        runDelete(commandLine);
    } else if (startsWith("-KeyToByte", commandLine)) {
        runKeyToByte(commandLine);
    } else if (equalsAsciiNoCase(commandLine, "-watchdog")) {
        runWatchdog();
    }
    endRun();
    return 0;
}
