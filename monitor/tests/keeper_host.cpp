// Runs the keeper as the monitor does, for the keeper tests: the IPC callback slots filled with
// the keeper's state changes, the keeper thread started, and the tray's icon calls recorded in
// <root>/standins/keeper.events ("running", "stopped", "refresh", "keeper ended").
#include <filesystem>
#include <pthread.h>

#include <cstdio>
#include <string>

#include "common/log.h"
#include "ipc/transport.h"
#include "monitor/keeper.h"
#include "platform/root.h"

namespace {

std::string g_events;

void record(const char* line) {
    FILE* f = fopen(g_events.c_str(), "a");
    if (!f) return;
    fprintf(f, "%s\n", line);
    fclose(f);
}

void onFinal() {
    record("final");
    ExitProcess(0);
}

void* runKeeper(void*) {
    keeperThread(nullptr);
    record("keeper ended");
    return nullptr;
}

}  // namespace

void setIconRunning() {
    record("running");
}
void setIconStopped() {
    record("stopped");
}
void refreshTrayIcons() {
    record("refresh");
}

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    std::string folder = platform::rootDir() + "/standins";
    std::filesystem::create_directory(folder);
    g_events = folder + "/keeper.events";
    setLog("KeeperHost");
    ipcSenderName = "KVLBTessarionMonitor.exe";
    ipcStartFunction = startMainProgram;
    ipcStopFunction = stopMainProgram;
    ipcRestartFunction = restartMainProgram;
    ipcFinalFunction = onFinal;
    pthread_t keeper;
    pthread_create(&keeper, nullptr, runKeeper, nullptr);
    pthread_detach(keeper);
    for (;;) Sleep(1000);
}
