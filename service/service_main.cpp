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
    int daemonCount = 0;
    char* certificate = nullptr;
    char* keyText = nullptr;

    do {
        if (!keepFolder("KVLBTessarion", copyPath)) {
            logError("Extract copy path: ", "Fail");
            break;
        }
        // The first answer is the state the debug-mode watcher toggles from, so that a service
        // relaunched while debug mode is on turns logging off at the next switch.
        debugState = setLog("KVLBTessarion") ? 1 : 0;
        if (debugState)
            logPlain("*************************************Tessarion*********************************", "");

        DWORD flags = getWindowsVersionFlags();
        certificate = copyString(tlsCertificatePem(flags));
        if (!certificate) reportAllocFail("Key", __LINE__);
        const char* priorities = TESSARION_TLS_PRIORITIES;

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

        ownProcessId = GetCurrentProcessId();
        wchar_t* module = getModuleFolder();
        copyBoundedW(programFolder, MAX_PATH, module ? module : L"");
        free(module);
        if (!*programFolder) {
            logError("Extract execute path: ", "Fail");
            break;
        }
        logNormalWide("CopyPath: ", copyPath);
        logNormalWide("Execute path: ", programFolder);
        int ports[3] = {0, 0, 0};
        std::sscanf(kPorts, "port=%d %d %d", &ports[0], &ports[1], &ports[2]);
        char portText[64];
        std::snprintf(portText, sizeof portText, "%d %d %d", ports[0], ports[1], ports[2]);
        logNormal("Support port: ", portText);

        startServiceIpc();

        keepFolder("KVLBTessarionMain", dataFolder);
        initSessions();
        for (auto& entry : sessionSequence) entry = kNoSession;
        logNormal("Tessarion Version: ", TESSARION_SERVER_VERSION);

        keyText = loadTlsPrivateKey();
        if (!keyText || !certificate) {
            reportAllocFail(kSource, __LINE__);
            break;
        }
        for (int i = 0; i < 3; ++i) {
            char message[64], launch[96];
            std::snprintf(message, sizeof message, "Detect port %d state: ", ports[i]);
            if (isPortInUse(ports[i])) {
                logNormal(message, "In use, try next port");
                continue;
            }
            logNormal(message, "Free");
            std::snprintf(launch, sizeof launch, "KVLBTessarion at port %d launch state: ", ports[i]);
            daemons[i] = startHttpsDaemon(ports[i], certificate, keyText, priorities);
            if (daemons[i]) {
                logNormal(launch, "Success");
                ++daemonCount;
            } else {
                logWarning(launch, "Fail");
            }
        }
        logNormal("", "Destroying key");
        wipeBytes(keyText, std::strlen(keyText));
        free(keyText);
        keyText = nullptr;
        logNormal("", "HTTPS Mode");

        if (daemonCount == 0) {
            logWarning("KVLBTessarion initialization: ", "Fail");
            break;
        }
        logNormal("KVLBTessarion initialization: ", "Success");
        if (openDebugStatusUpdateEvent()) {
            static char tag[] = "KVLBTessarion";
            pthread_t watcher;
            if (pthread_create(&watcher, nullptr, debugModeWatcher, tag) == 0) pthread_detach(watcher);
        } else {
            logErrorInt("Tessarion debugStatusUpdateEvent init failed. ", static_cast<int>(GetLastError()));
        }
        plainRecord(kRule);
        while (!__atomic_load_n(&stopFlag, __ATOMIC_ACQUIRE)) Sleep(100);
    } while (false);

    for (auto*& daemon : daemons) {
        stopHttpsDaemon(daemon);
        daemon = nullptr;
    }
    logNormal("Releasing key", "");
    if (keyText) {
        wipeBytes(keyText, std::strlen(keyText));
        free(keyText);
    }
    logNormal("Releasing cert", "");
    free(certificate);
    return 0;
}
