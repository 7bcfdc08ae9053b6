// Temporary: logging is silent until the log front end lands.
#include "common/log.h"

char logTag[64];
std::atomic<unsigned char> logEnabled{0};
unsigned char debugState = 0;
HANDLE debugStatusUpdateEvent = nullptr;

bool setLog(const char*) { return false; }
void logPlain(const char*, const char*) {}
void logNormal(const char*, const char*) {}
void logNormalInt(const char*, int) {}
void logNormalWide(const char*, const wchar_t*) {}
void logError(const char*, const char*) {}
void logErrorInt(const char*, int) {}
void logCommandError(const wchar_t*) {}
void logWarning(const char*, const char*) {}
void logWarningInt(const char*, int) {}
void logExistState(const char*, bool) {}
void logStateText(const char*, bool, const char*, const char*) {}
void reportNullParameter(const char*, const char*, int) {}
void reportAllocFail(const char*, int) {}
bool openDebugStatusUpdateEvent() { return false; }
void* debugModeWatcher(void*) { return nullptr; }
