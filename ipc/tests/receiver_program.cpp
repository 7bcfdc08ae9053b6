// A receiving program for the transport tests: runs the receivers on a channel with the callback
// slots the command line asks for, and reports what they saw, one line each, in the file
// <folder>/<name>.events ("ready", "final", "start", "stop", "restart", "flag=<0|1>", "log=<0|1>").
//
//   ipc_receiver <channel> <folder> <name> [--final] [--slots] [--session-flag] [--lock-only] [--watcher]
//
// Logging is set up with the tag "Receiver-<name>" from the root's log ini, as the programs do.
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/text.h"
#include "ipc/transport.h"
#include "platform/root.h"

namespace {

std::string g_events;
unsigned char g_sessionFlag = 0;

void report(const char* line) {
    FILE* f = fopen(g_events.c_str(), "ab");  // one LF per line in both builds
    if (!f) return;
    fprintf(f, "%s\n", line);
    fclose(f);
}

void onFinal() {
    report("final");
}
void onStart() {
    report("start");
}
void onStop() {
    report("stop");
}
void onRestart() {
    report("restart");
}

// Reports each change of the session flag and of the logging state.
void* watchState(void*) {
    int flag = -1;
    int log = -1;
    for (;;) {
        int f = std::atomic_ref<unsigned char>(g_sessionFlag).load();
        int l = logEnabled.load();
        char line[32];
        if (ipcSessionFlag && f != flag) {
            snprintf(line, sizeof line, "flag=%d", f);
            report(line);
            flag = f;
        }
        if (l != log) {
            snprintf(line, sizeof line, "log=%d", l);
            report(line);
            log = l;
        }
        Sleep(5);
    }
    return nullptr;
}

bool has(int argc, char** argv, const char* option) {
    for (int i = 4; i < argc; ++i)
        if (!strcmp(argv[i], option)) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: ipc_receiver <channel> <folder> <name> [options]\n");
        return 2;
    }
    const char* channel = argv[1];
    g_events = std::string(argv[2]) + "/" + argv[3] + ".events";
    static char tag[64];
    snprintf(tag, sizeof tag, "Receiver-%s", argv[3]);
    debugState = setLog(tag) ? 1 : 0;

    if (has(argc, argv, "--final")) ipcFinalFunction = onFinal;
    if (has(argc, argv, "--slots")) {
        ipcStartFunction = onStart;
        ipcStopFunction = onStop;
        ipcRestartFunction = onRestart;
    }
    if (has(argc, argv, "--session-flag")) ipcSessionFlag = &g_sessionFlag;

    pthread_t thread;
    pthread_create(&thread, nullptr, watchState, nullptr);
    pthread_detach(thread);
    if (has(argc, argv, "--watcher")) {
        openDebugStatusUpdateEvent();
        pthread_create(&thread, nullptr, debugModeWatcher, tag);
        pthread_detach(thread);
    }
    if (has(argc, argv, "--lock-only")) {
        pthread_create(&thread, nullptr, ipcLockReceiver, copyString(channel));
        pthread_detach(thread);
    } else {
        startIpcReceivers(channel);
    }
    report("ready");
    for (;;) Sleep(1000);  // ended by an instruction or by the test
}
