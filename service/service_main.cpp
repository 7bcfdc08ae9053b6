// The service's start-up, a function per step (folders, logging, certificate, IPC, sessions, key,
// daemons), the main thread's wait for the stop flag, the teardown, and the final function.
#include "service/service_main.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/log.h"
#include "common/system.h"
#include "common/text.h"
#include "common/winver.h"
#include "service/https_front.h"
#include "service/service_state.h"
#include "service/sessions.h"
#include "service/tls_material.h"

#ifndef KVLB_GIT_TIME
#define KVLB_GIT_TIME ""
#endif

namespace {

const char* const kSource = "Tessarion";
const char* const kPorts = "port=56462 56562 56662";
const char* const kRule = "===============================================================================";

void plainRecord(const char* text) {
    if (logEnabled) logPlain(text, "");
}

// Keeps a folder from the common application-data folder in a 260-character buffer, cut to 259.
bool keepFolder(const char* subFolder, wchar_t* out) {
    wchar_t* path = getFolderPath(subFolder);
    bool ok = path && *path;
    copyBoundedW(out, MAX_PATH, path ? path : L"");
    free(path);
    return ok;
}

// The data folder (copyPath): without the common application-data folder the service cannot run.
bool keepCopyPath() {
    if (keepFolder("KVLBTessarion", copyPath)) return true;
    logError("Extract copy path: ", "Fail");
    return false;
}

// The logging. The first answer is the state the debug-mode watcher toggles from, so that a
// service relaunched while debug mode is on turns logging off at the next switch.
void startLogging() {
    debugState = setLog("KVLBTessarion") ? 1 : 0;
    if (debugState)
        logPlain("*************************************Tessarion*********************************", "");
}

// The certificate for this Windows, as a copy the teardown frees; NULL, logged, without memory.
char* makeCertificate(DWORD flags) {
    char* certificate = copyString(tlsCertificatePem(flags));
    if (!certificate) reportAllocFail("Key", __LINE__);
    return certificate;
}

// The start records: the build, a crash note the command line carries, and the Windows it runs on.
void logStartRecords(const char* commandLine, DWORD flags) {
    logNormal("Execute setting: ", "KVLB");
    logNormal("Compile time: ", __DATE__ " " __TIME__);
    logNormal("Git time: ", KVLB_GIT_TIME);

    char note[65];
    copyBounded(note, sizeof note, commandLine ? commandLine : "");
    if (*note && std::strcmp(note, "0") != 0) {
        plainRecord(kRule);
        logWarning("Detected Tessarion crash", "");
        plainRecord(kRule);
    }
    if (flags != 0) {
        char* name = getWindowsName(flags);
        char environment[600];
        char shortName[512];
        copyBounded(shortName, sizeof shortName, name ? name : "");
        free(name);
        std::snprintf(environment, sizeof environment, "%s %s", shortName,
                      (flags & WINVER_64BIT) ? "64 bit" : "32 bit");
        logNormal("Environment: ", environment);
    }
}

// The service's own process and the folder its program runs from, where the adapters are installed.
bool keepProgramFolder() {
    ownProcessId = GetCurrentProcessId();
    wchar_t* module = getModuleFolder();
    copyBoundedW(programFolder, MAX_PATH, module ? module : L"");
    free(module);
    if (!*programFolder) {
        logError("Extract execute path: ", "Fail");
        return false;
    }
    logNormalWide("CopyPath: ", copyPath);
    logNormalWide("Execute path: ", programFolder);
    return true;
}

// The three ports the service tries, in order.
void readPorts(int ports[3]) {
    std::sscanf(kPorts, "port=%d %d %d", &ports[0], &ports[1], &ports[2]);
    char portText[64];
    std::snprintf(portText, sizeof portText, "%d %d %d", ports[0], ports[1], ports[2]);
    logNormal("Support port: ", portText);
}

// The sessions: their folder, the slots and the value store, all empty.
void startSessions() {
    keepFolder("KVLBTessarionMain", dataFolder);
    initSessions();
    for (auto& entry : sessionSequence) entry = kNoSession;
    logNormal("Tessarion Version: ", TESSARION_SERVER_VERSION);
}

void wipeKey(char*& keyText) {
    if (!keyText) return;
    wipeBytes(keyText, std::strlen(keyText));
    free(keyText);
    keyText = nullptr;
}

// The daemons: one on each port that is free; the count of those that started.
int startDaemons(const int ports[3], const char* certificate, const char* keyText, MHD_Daemon* daemons[3]) {
    int daemonCount = 0;
    for (int i = 0; i < 3; ++i) {
        char message[64], launch[96];
        std::snprintf(message, sizeof message, "Detect port %d state: ", ports[i]);
        if (isPortInUse(ports[i])) {
            logNormal(message, "In use, try next port");
            continue;
        }
        logNormal(message, "Free");
        std::snprintf(launch, sizeof launch, "KVLBTessarion at port %d launch state: ", ports[i]);
        daemons[i] = startHttpsDaemon(ports[i], certificate, keyText, TESSARION_TLS_PRIORITIES);
        if (daemons[i]) {
            logNormal(launch, "Success");
            ++daemonCount;
        } else {
            logWarning(launch, "Fail");
        }
    }
    return daemonCount;
}

// The watch: the debug-mode watcher, then the main thread waits for the stop flag.
void watchUntilStopped() {
    if (openDebugStatusUpdateEvent()) {
        static char tag[] = "KVLBTessarion";
        pthread_t watcher;
        if (pthread_create(&watcher, nullptr, debugModeWatcher, tag) == 0) pthread_detach(watcher);
    } else {
        logErrorInt("Tessarion debugStatusUpdateEvent init failed. ", static_cast<int>(GetLastError()));
    }
    plainRecord(kRule);
    while (!__atomic_load_n(&stopFlag, __ATOMIC_ACQUIRE)) Sleep(100);
}

}  // namespace

void TessarionFinal() {
    pthread_mutex_lock(&requestLock);
    releaseAllAdapters();
    logNormal("[TessarionFinal] ", "Release adapters success");
    logNormal("[TessarionFinal] ", "Ready to suicide");
    pthread_mutex_unlock(&requestLock);
    // Read by the main thread's stop loop; the receivers set it as the session flag too.
    __atomic_store_n(&stopFlag, 1, __ATOMIC_RELEASE);
}

int runService(const char* commandLine) {
    MHD_Daemon* daemons[3] = {nullptr, nullptr, nullptr};
    char* certificate = nullptr;
    char* keyText = nullptr;

    do {
        if (!keepCopyPath()) break;
        startLogging();
        DWORD flags = getWindowsVersionFlags();
        certificate = makeCertificate(flags);
        logStartRecords(commandLine, flags);
        if (!keepProgramFolder()) break;
        int ports[3] = {0, 0, 0};
        readPorts(ports);
        startServiceIpc();
        startSessions();

        keyText = loadTlsPrivateKey();
        if (!keyText || !certificate) {
            reportAllocFail(kSource, __LINE__);
            break;
        }
        int daemonCount = startDaemons(ports, certificate, keyText, daemons);
        logNormal("", "Destroying key");
        wipeKey(keyText);
        logNormal("", "HTTPS Mode");

        if (daemonCount == 0) {
            logWarning("KVLBTessarion initialization: ", "Fail");
            break;
        }
        logNormal("KVLBTessarion initialization: ", "Success");
        watchUntilStopped();
    } while (false);

    for (auto*& daemon : daemons) {
        stopHttpsDaemon(daemon);
        daemon = nullptr;
    }
    logNormal("Releasing key", "");
    wipeKey(keyText);
    logNormal("Releasing cert", "");
    free(certificate);
    return 0;
}
