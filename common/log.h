// The log front end every part of the system logs through: one record per call, written at
// level 5 through the shared log writer while logging is enabled.
#pragma once
#include <atomic>
#include "platform/win_base.h"

// The program's tag in every record. setLog writes it, also on the debug-mode watcher's thread,
// while other threads log: outside single-threaded set-up, use it only through setLog.
extern char logTag[64];
extern std::atomic<unsigned char> logEnabled;
extern std::atomic<unsigned char> debugState;
extern std::atomic<HANDLE> debugStatusUpdateEvent;

bool setLog(const char* inputPrefixName);

void logPlain(const char* message, const char* value);
void logNormal(const char* message, const char* value);
void logNormalInt(const char* message, int number);
void logNormalWide(const char* message, const wchar_t* value);
// The message and a wide value (converted in the code page) at level 5, untagged, whether or not
// logging is on.
void logPlainWide(const char* message, const wchar_t* value, UINT codePage);
void logError(const char* message, const char* value);
void logErrorInt(const char* message, int number);
void logCommandError(const wchar_t* command);
void logWarning(const char* message, const char* value);
void logWarningInt(const char* message, int number);
void logExistState(const char* message, bool flag);
void logStateText(const char* message, bool flag, const char* textIfTrue, const char* textIfFalse);

// The two failure reports every part shares:
//   warning "Parameter <name> is null at <source> <line>"
//   errors "Memory allocate fail at file: <source>" and "Memory allocate fail at line: <line>"
// A literal <line> is a fixed record number, not a stale source line: with the source name it
// tells a reader of the log where the failure arose, and readers match on that text, so the
// number stays when the code moves and never becomes __LINE__. Sites without one pass __LINE__.
void reportNullParameter(const char* name, const char* source, int line);
void reportAllocFail(const char* source, int line);

bool openDebugStatusUpdateEvent();
// Thread body of the debug-mode watcher; tag is the program's own log tag (a const char*; NULL:
// the tag setLog was first given). Never returns.
void* debugModeWatcher(void* tag);
