// Caller sessions: 32 slots, each with its own loaded copy of an adapter library, the control
// calls that unlock and version it, the version gates, and the session folders on disk.
#pragma once
#include <cstdint>
#include "common/json_map.h"
#include "platform/win_base.h"

constexpr int kSessionCount = 32;
constexpr uint64_t kNoSession = ~0ULL;

typedef const char* (*CallMethodEntry)(const char* jsonText);
typedef const char* (*CallJsonMapMethodEntry)(JsonMap* map, const char* functionName);

struct SessionSlot {
    char* sessionId;  // NULL: free
    char* adapterName;
    char* adapterVersion;
    char* installerVersion;
    wchar_t libraryPath[MAX_PATH];
    bool libraryIsCopy;  // the loaded file is the session copy, deleted at release
    HMODULE module;
    CallMethodEntry callMethod;
    CallJsonMapMethodEntry callJsonMapMethod;
    int browserMode;
    int64_t openTime;
};

extern SessionSlot sessionSlots[kSessionCount];
extern uint64_t sessionSequence[kSessionCount];
extern uint64_t sessionCounter;

void initSessions();
int findSession(const char* sessionId);
// Fills sessionId (64 bytes) with a fresh id and puts it into the reply as "SessionID"; false when
// no id can be made (no random bytes or no memory).
bool newSessionId(char* sessionId, JsonMap* reply);
// Slot index, or -1 with *reply replaced as the refusal needs (or left as it stands).
int openSession(const JsonMap* request, const char* origin, const char* sessionId, JsonMap** reply);
// The one place the service calls into an adapter copy: the slot's JSON-map entry with map and
// functionName when it has one, else its JSON-text entry with jsonText. False (*answer left as it
// is) when the slot has neither.
bool callSessionAdapter(int slot, JsonMap* map, const char* functionName, const char* jsonText,
                        const char** answer);
// A control call (Tessarion_Unlock and the others) with its control map; an adapter with only the
// JSON-text entry gets the map as a JSON object. The answer is the adapter's, or NULL.
const char* callAdapterControl(int slot, JsonMap* control);
void releaseSession(int slot);
// releaseSession and the sequence entry marked free.
void releaseSessionSlot(int slot);
void releaseAllAdapters();
bool stampSessionSequence(int slot);
int findOldestSession();
// Replaces *reply by a map holding only "result" (the error exit every refusal takes).
void resetReplyResult(JsonMap** reply, const char* result, const char* file, int line);
void resetReplyResult(JsonMap** reply, int code, const char* file, int line);
