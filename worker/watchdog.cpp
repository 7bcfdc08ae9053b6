// The watchdog: one per user, it waits until the monitor's liveness mutex is free (the monitor is
// gone) and then resets the set.
#include <pthread.h>

#include "common/log.h"
#include "common/system.h"
#include "ipc/transport.h"
#include "process_control/process_control.h"
#include "worker/worker.h"

namespace {

// Written by the receivers on a session lock or disconnect; the watchdog keeps watching anyway.
unsigned char sessionByte = 0;

}  // namespace

void runWatchdog() {
    if (openDebugStatusUpdateEvent()) {
        pthread_t watcher;
        if (pthread_create(&watcher, nullptr, debugModeWatcher, instanceTag) == 0) pthread_detach(watcher);
    } else {
        logError("debugStatusUpdateEvent init failed.", "");
    }
    HANDLE watchdogMutex = getMutexLock(IPC_CHANNEL_WATCHDOG, 500);
    if (watchdogMutex == nullptr) {
        logNormal("getMutexLock: ", "Fail");
        return;
    }
    logNormal("getMutexLock: ", "Success");

    // No final function: Suicide on this channel ends the process at once.
    ipcSessionFlag = &sessionByte;
    startIpcReceivers(IPC_CHANNEL_WATCHDOG);

    HANDLE monitorMutex = getMutexLock(MONITOR_PROGRAM_NAME, 0);
    while (monitorMutex == nullptr) {
        Sleep(1000);
        monitorMutex = getMutexLock(MONITOR_PROGRAM_NAME, 0);
    }
    releaseMutexLock(monitorMutex);
    logNormal("Monitor is NOT alive", "");
    logNormal("Reset!", "");
    hideNOWaitCommand(L"KVLBTessarionWorker.exe -reset");
    releaseMutexLock(watchdogMutex);
}
