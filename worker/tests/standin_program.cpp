// A stand-in for a program of the set (the monitor, the service) or for an uninstaller, acting by
// the image name it was copied under. It records in <root>/standins/<image name>.events one line
// per event: "run <arguments>", "ready", "start", "stop", "restart", "final".
//
// What it does comes from <root>/standins/<image name>.mode (first word), by default "listen" for
// the monitor's and the service's names and "exit" for any other:
//   listen  hold the per-user mutex of its image name (the monitor's liveness mutex) and run the
//           IPC receivers on the channel of that name; Suicide ends it, and so does a session
//           lock unless it is the monitor
//   exit    end at once with exit code 0
//   deaf    stay without listening until it is terminated
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "common/log.h"
#include "common/system.h"
#include "ipc/transport.h"
#include "platform/root.h"

namespace {

std::string g_events;

void record(const std::string& line) {
    FILE* f = fopen(g_events.c_str(), "a");
    if (!f) return;
    fprintf(f, "%s\n", line.c_str());
    fclose(f);
}

void onStart() {
    record("start");
}
void onStop() {
    record("stop");
}
void onRestart() {
    record("restart");
}
void onFinal() {
    record("final");
    ExitProcess(0);
}

std::string lower(std::string s) {
    for (auto& c : s) c = (char)std::tolower((unsigned char)c);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    std::string self = argv[0];
    std::string name = self.substr(self.find_last_of('/') + 1);
    std::string folder = platform::rootDir() + "/standins";
    mkdir(folder.c_str(), 0755);
    g_events = folder + "/" + name + ".events";

    std::string arguments;
    for (int i = 1; i < argc; ++i) arguments += std::string(i > 1 ? " " : "") + argv[i];
    record("run " + arguments);

    std::string mode;
    std::ifstream(folder + "/" + name + ".mode") >> mode;
    if (mode.empty())
        mode = lower(name) == "kvlbtessarionmonitor.exe" || lower(name) == "kvlbtessarionmain.exe" ? "listen"
                                                                                                   : "exit";
    if (mode == "exit") return 0;
    if (mode == "listen") {
        static char tag[128];
        snprintf(tag, sizeof tag, "Standin-%s", name.c_str());
        setLog(tag);
        // Held until the program ends, so kept where the end still finds it.
        static HANDLE liveness = nullptr;
        liveness = getMutexLock(name.c_str(), 2000);
        // A predecessor that ended holding it while another process had it open leaves it
        // abandoned, which is reported once.
        if (liveness == nullptr) liveness = getMutexLock(name.c_str(), 2000);
        if (liveness == nullptr) record("mutex busy");
        ipcStartFunction = onStart;
        ipcStopFunction = onStop;
        ipcRestartFunction = onRestart;
        ipcFinalFunction = onFinal;
        // The monitor pauses on a session lock; the service ends itself.
        static unsigned char sessionFlag = 0;
        if (lower(name) == "kvlbtessarionmonitor.exe") ipcSessionFlag = &sessionFlag;
        startIpcReceivers(name.c_str());
        record("ready");
    }
    for (;;) Sleep(1000);
}
