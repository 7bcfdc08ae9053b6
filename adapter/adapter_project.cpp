// The adapter's two exports, its lazy initialisation, the dispatcher and the three system
// functions (version, unlock, release). All state here exists once per loaded copy of the
// library: a Windows DLL exports only what its .def names, and in the Linux build the version
// script keeps every symbol but the exports local.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapter/adapter.h"
#include "common/allowlist.h"
#include "common/json_map.h"
#include "common/log.h"
#include "common/request_values/value_flags.h"
#include "common/request_values/value_getters.h"
#include "common/text.h"

#ifndef KVLB_WEB_DOMAIN
#define KVLB_WEB_DOMAIN "example.test"
#endif

// The service binds both by name with the C calling convention.
#ifdef _WIN32
#define KVLB_EXPORT extern "C"
#else
#define KVLB_EXPORT extern "C" __attribute__((visibility("default")))
#endif

char* adapterResult = nullptr;
unsigned char adapterInitialized = 0;
AdapterMap* adapterMap = nullptr;
AdapterMapEntry* adapterIndexTable = nullptr;
int componentFunctionCount = 0;

// Every page of the customer's web domain, and no other origin, may unlock the adapter.
static const char kBuiltInUnlockList[] = "*." KVLB_WEB_DOMAIN;

void setAdapterResult(const char* text) {
    takeAdapterResult(text ? copyString(text) : nullptr);
}

void takeAdapterResult(char* text) {
    free(adapterResult);
    adapterResult = text;
}

void setAdapterCode(int code) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", code);
    setAdapterResult(text);
}

static void logBuildStamp() {
    logNormal("Adatper compile date: ", __DATE__);
    logNormal("Adatper compile time: ", __TIME__);
}

static void dropRegistry() {
    if (adapterMap) adapterMap->count = 0;
    free(adapterMap);
    adapterMap = nullptr;
    free(adapterIndexTable);
    adapterIndexTable = nullptr;
    componentFunctionCount = 0;
}

// The last answer and the function tables stay with the copy until its next call; the service
// unloads a copy per session, so they go with it.
struct AdapterStateRelease {
    AdapterStateRelease() = default;
    AdapterStateRelease(const AdapterStateRelease&) = delete;
    AdapterStateRelease& operator=(const AdapterStateRelease&) = delete;
    ~AdapterStateRelease() {
        dropRegistry();
        takeAdapterResult(nullptr);
    }
};
static AdapterStateRelease adapterStateRelease;

bool initAdapter() {
    if (adapterInitialized) return true;
    setLog(ADAPTER_TAG);
    logNormal("Init adapter: ", ADAPTER_TAG);
    logBuildStamp();
    CoInitialize(nullptr);
    if (FAILED(createComponent())) {
        logError("Component init error!", "");
        setAdapterCode(kResultNoComponent);
        return false;
    }
    setUnlockURL(kBuiltInUnlockList);
    // A failed earlier attempt may have left a half-built registry behind.
    dropRegistry();
    adapterMap = newAdapterMap();
    if (adapterMap == nullptr) {
        reportAllocFail("AdapterProject", 1706);
        return false;
    }
    registerComponentFunctions();
    adapterIndexTable =
        static_cast<AdapterMapEntry*>(allocZeroed(sizeof(AdapterMapEntry) * (size_t)adapterMap->count));
    if (adapterIndexTable == nullptr) {
        reportAllocFail("AdapterProject", 1778);
        dropRegistry();
        return false;
    }
    std::memcpy(adapterIndexTable, adapterMap->entries, sizeof(AdapterMapEntry) * (size_t)adapterMap->count);
    componentFunctionCount = adapterMap->count;
    addAdapterFunction(Tessarion_GetVersion, "Tessarion_GetVersion");
    addAdapterFunction(Tessarion_Release, "Tessarion_Release");
    addAdapterFunction(Tessarion_Unlock, "Tessarion_Unlock");
    sortAdapterMap(adapterMap);
    logNormal("Success enable:", "");
    logNormalInt("\tComponent api: ", componentFunctionCount);
    logNormalInt("\tSystem api: ", adapterMap->count - componentFunctionCount);
    adapterInitialized = 1;
    return true;
}

static bool sameName(const char* a, const char* b) {
    return compareAdapterName(a, b) == 0;
}

void dispatchAdapterFunction(JsonMap* map, const char* name) {
    if (map == nullptr) {
        reportNullParameter("JsonMap", "AdapterProject", 1806);
        return;
    }
    if (name == nullptr) {
        reportNullParameter("FunctionName", "AdapterProject", 1807);
        return;
    }
    int index = getJsonInt(map, "TessarionFunctionIndex");
    logNormalInt("FunctionIndex: ", index);
    if (index == kControlRelease) return Tessarion_Release(map);
    if (index == kControlUnlock) return Tessarion_Unlock(map);
    if (index == kControlGetVersion) return setAdapterResult(ADAPTER_VERSION);
    if (index >= 0 && index < componentFunctionCount && adapterIndexTable != nullptr) {
        const AdapterMapEntry& entry = adapterIndexTable[index];
        if (sameName(entry.name, name)) return entry.handler(map);
        logWarning("TessarionFunctionIndex is not match with adapter", "");
        logWarning("FunctionName from web: ", name);
        logWarning("FunctionName in adapter: ", entry.name);
    } else {
        logWarning("FunctionIndex: ", "Out of range");
    }
    logWarning("FunctionIndex mode: ", "Fail");
    logNormal("Function search name mode: ", name);
    adapterHandler handler = findAdapterFunction(name);
    if (handler != nullptr) return handler(map);
    logWarning("Function name does not match: ", name);
    setAdapterCode(kResultBadArguments);
}

void Tessarion_Unlock(JsonMap* map) {
    char* url = getJsonMapValue(map, "url");
    if (url == nullptr) {
        reportAllocFail("AdapterUtil", 42);
    } else {
        logNormal("TessarionUnlock url: ", url);
        if (!urlUnlocked) unlock(url);
        wipeAndFree(url);
    }
    setAdapterCode(urlUnlocked ? kResultOk : kResultLocked);
    logNormal("Check Tessarion url state: ", urlUnlocked ? "Success" : "Fail");
}

void Tessarion_GetVersion(JsonMap*) {
    setAdapterResult(ADAPTER_VERSION);
}

void Tessarion_Release(JsonMap*) {
    // The service unloads this copy right after the release, so an interface kept for the next
    // initialisation would never be released: one component instance lost per session.
    if (componentInterface != nullptr) {
        componentInterface->Release();
        componentInterface = nullptr;
    }
    dropRegistry();
    takeAdapterResult(nullptr);
    urlCheckList.clear();
    adapterInitialized = 0;
    logNormal("TessarionRelease", "");
}

static void beginExportCall(const char* intro) {
    logNormal(intro, ADAPTER_TAG);
    logBuildStamp();
    takeAdapterResult(nullptr);
}

static const char* finishExportCall() {
    if (adapterResult == nullptr) adapterResult = copyString("");
    // Should even the empty text not be had, a static one keeps the promise of never NULL.
    return adapterResult ? adapterResult : "";
}

KVLB_EXPORT const char* callMethod(const char* JSONObj) {
    try {
        beginExportCall("Into adapter: ");
        if (JSONObj == nullptr) {
            reportNullParameter("JSONObj", "AdapterProject", 1870);
            return finishExportCall();
        }
        JsonMap* map = parseJsonMap(JSONObj);
        if (map == nullptr) {
            reportAllocFail("AdapterProject", 1873);
            return finishExportCall();
        }
        displayParameters(map);
        char* name = getJsonMapValue(map, "FunctionName");
        if (name == nullptr) {
            logWarning("Function name is null", "");
            setAdapterCode(kResultBadArguments);
        } else if (initAdapter()) {
            dispatchAdapterFunction(map, name);
        }
        freeJsonMap(map);
        wipeAndFree(name);
    } catch (...) {
        // Nothing may cross the C boundary; an unexpected failure answers the empty text.
        logError("callMethod exception: ", "Unknown exception");
        takeAdapterResult(nullptr);
    }
    return finishExportCall();
}

KVLB_EXPORT const char* callJsonMapMethod(JsonMap* map, const char* FunctionName) {
    try {
        beginExportCall("Into json map adapter: ");
        if (map == nullptr) {
            reportNullParameter("JsonMap", "AdapterProject", 1904);
            return finishExportCall();
        }
        if (FunctionName == nullptr) {
            reportNullParameter("FunctionName", "AdapterProject", 1905);
            return finishExportCall();
        }
        if (initAdapter()) dispatchAdapterFunction(map, FunctionName);
    } catch (...) {
        logError("callJsonMapMethod exception: ", "Unknown exception");
        takeAdapterResult(nullptr);
    }
    return finishExportCall();
}
