// The keeper thread and the three state changes the menu and the IPC callbacks make.
#include "monitor/keeper.h"

#include <cstdio>
#include <cwchar>

#include "common/log.h"
#include "common/system.h"
#include "ipc/transport.h"
#include "process_control/process_control.h"

std::atomic<int> desiredState{kDesiredRun};
std::atomic<unsigned char> keeperMayStart{1};
std::atomic<unsigned char> restarted{0};
unsigned char switchedOut = 0;

namespace {

constexpr int kLastAttempt = 7;

bool isSwitchedOut() {
    return std::atomic_ref<unsigned char>(switchedOut).load() != 0;
}

// Sleeps while the session is away, the user has stopped the service or a restart is ending it.
void waitUntilLaunchAllowed() {
    if (isSwitchedOut()) {
        while (isSwitchedOut()) Sleep(1000);
        Sleep(100);
        refreshTrayIcons();
    }
    while (desiredState.load() == kDesiredStopped) Sleep(100);
    while (keeperMayStart.load() == 0) Sleep(100);
}

}  // namespace

void* keeperThread(void*) {
    killMainProgram();
    std::atomic_ref<unsigned char>(switchedOut).store(0);
    ipcSessionFlag = &switchedOut;
    startIpcReceivers(IPC_CHANNEL_KEEPER);
    for (;;) {
        waitUntilLaunchAllowed();
        for (int attempt = 0;; ++attempt) {
            logNormal("Start Tessarion main program", "");
            char command[512];
            snprintf(command, sizeof command, "%s %d", MAIN_PROGRAM_NAME, attempt);
            wchar_t wideCommand[512];
            if (MultiByteToWideChar(CP_UTF8, 0, command, -1, wideCommand, 512) <= 0) wideCommand[0] = L'\0';
            setIconRunning();
            // A service that cannot be created returns at once and counts as an attempt.
            hideWaitCommand(wideCommand, false);
            Sleep(100);
            setIconStopped();
            Sleep(500);
            if (desiredState.load() != kDesiredRun) break;
            if (isSwitchedOut()) {
                logNormal("[Keeper] ", "Detect user switch out event, into sleep mode");
                break;
            }
            if (attempt == kLastAttempt) {
                logNormal("[Keeper] ", "Restart main program too many times, shutdown Keeper");
                return nullptr;
            }
        }
    }
}

void startMainProgram() {
    desiredState.store(kDesiredRun);
}

void stopMainProgram() {
    desiredState.store(kDesiredStopped);
    killMainProgram();
}

void restartMainProgram() {
    restarted.store(1);
    desiredState.store(kDesiredRestart);
    keeperMayStart.store(0);
    killMainProgram();
    keeperMayStart.store(1);
}
