// The dispatcher: the caller's session found or opened, the service's own commands (release, the
// value store, echo) answered here, and the adapter call, with its answer logged or masked.
#include "service/dispatch.h"

#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/request_values/value_flags.h"
#include "common/request_values/value_getters.h"
#include "common/result_codes.h"
#include "common/text.h"
#include "service/service_state.h"
#include "service/sessions.h"
#include "service/top_ui.h"
#include "service/value_store.h"

namespace {

const char* const kSource = "TessarionSession";

void readKey(const JsonMap* map, const char* key, char* buffer, size_t size) {
    char* value = getJsonMapValue(map, key);
    copyBounded(buffer, size, value ? value : "");
    wipeAndFree(value);
}

bool isReleaseCommand(const char* name) {
    return equalsAsciiNoCase(name, "TessarionClose") || equalsAsciiNoCase(name, "TessarionForceRelease") ||
           equalsAsciiNoCase(name, "TessarionRelease");
}

bool isEcho(const char* name) {
    return equalsAsciiNoCase(name, "TessarionEcho") || equalsAsciiNoCase(name, "Echo");
}

JsonMap* callAdapter(JsonMap* request, const char* functionName, int slot, JsonMap* reply) {
    bool watching = false;
    if (isJsonFlagTrue(request, "topuidetect")) {
        logNormal("Set top component UI: ", "Enable");
        startTopUi(ownProcessId, false);
        watching = true;
    } else if (isJsonFlagTrue(request, "topuialldetect")) {
        logNormal("Set top all system UI: ", "Enable");
        startTopUi(ownProcessId, true);
        watching = true;
    }
    const char* answer = nullptr;
    if (!callSessionAdapter(slot, request, functionName, request->text ? request->text : "", &answer)) {
        if (watching) stopTopUi();
        releaseSessionSlot(slot);
        resetReplyResult(&reply, kResultNoEntryPoints, kSource, __LINE__);
        return reply;
    }
    if (watching) stopTopUi();
    if (!answer) answer = "";

    const char* prefix = std::strchr(answer, '\n') ? " Component result:\n" : " Component result: ";
    if (isJsonFlagTrue(request, "hide_result")) {
        size_t n = std::strlen(answer);
        char* masked = static_cast<char*>(allocZeroed(n + 1));
        if (!masked) {
            reportAllocFail(kSource, __LINE__);
            return reply;
        }
        std::memset(masked, '*', n);
        logPlain(prefix, masked);
        free(masked);
    } else {
        logPlain(prefix, answer);
    }
    setJsonValue(reply, "result", answer);
    return reply;
}

// The request's session id into sessionId (64 bytes) and its slot into *slot (-1: no session open
// under it); a request without an id gets a fresh one, in the reply too. False when none can be made.
bool findCallerSession(const JsonMap* request, char* sessionId, int* slot, JsonMap* reply) {
    readKey(request, "SessionId", sessionId, 64);
    *slot = -1;
    if (*sessionId)
        *slot = findSession(sessionId);
    else if (!newSessionId(sessionId, reply))
        return false;
    logNormal("Session id: ", sessionId);
    return true;
}

// No session under the id: a release has nothing to do, anything else opens a session first.
JsonMap* answerWithoutSession(JsonMap* request, const char* origin, const char* sessionId,
                              const char* functionName, JsonMap* reply) {
    if (isReleaseCommand(functionName)) {
        logNormal("No specific adapter to release", "");
        return reply;
    }
    int slot = openSession(request, origin, sessionId, &reply);
    if (slot < 0) return reply;
    if (isEcho(functionName)) {
        if (getModeFlag(request) == 1) sessionSlots[slot].browserMode = 1;
        setJsonResult(reply, kResultOk);
        return reply;
    }
    return callAdapter(request, functionName, slot, reply);
}

JsonMap* setValueCommand(const JsonMap* request, JsonMap* reply) {
    char* channel = getJsonMapValue(request, "channel");
    char* domains = getJsonMapValue(request, "domain_list");
    char* value = getJsonMapValue(request, "value");
    int code = (channel && domains && value) ? setValueEntry(channel, domains, getTimeoutFlag(request), value)
                                             : kResultBadArguments;
    free(channel);
    free(domains);
    wipeAndFree(value);
    resetReplyResult(&reply, code, kSource, __LINE__);
    return reply;
}

// The value itself is the reply's "result".
JsonMap* getValueCommand(const JsonMap* request, const char* origin, JsonMap* reply) {
    char* channel = getJsonMapValue(request, "channel");
    if (!channel) {
        resetReplyResult(&reply, kResultBadArguments, kSource, __LINE__);
        return reply;
    }
    char* text = getValueEntry(channel, origin);
    free(channel);
    if (!text)
        resetReplyResult(&reply, kResultUnreadable, kSource, __LINE__);
    else
        resetReplyResult(&reply, text, kSource, __LINE__);
    wipeAndFree(text);
    return reply;
}

// An echo in an open session answers the versions the session was opened with.
JsonMap* echoCommand(int slot, JsonMap* reply) {
    SessionSlot& s = sessionSlots[slot];
    logNormal("Browser mode: ", "Active");
    setJsonValue(reply, "ServerVersion", TESSARION_SERVER_VERSION);
    setJsonValue(reply, "LibVersion", s.adapterVersion ? s.adapterVersion : "");
    if (s.installerVersion) setJsonValue(reply, "InstallerVersion", s.installerVersion);
    setJsonResult(reply, kResultOk);
    return reply;
}

// The session's own commands (release, the value store, echo); every other function goes to its
// adapter.
JsonMap* answerInSession(JsonMap* request, const char* origin, int slot, const char* functionName,
                         JsonMap* reply) {
    logNormal("Find the loaded adapter", "");
    if (equalsAsciiNoCase(functionName, "TessarionForceRelease")) {
        logNormal("Force release: ", "Active");
        releaseSessionSlot(slot);
        return reply;
    }
    if (equalsAsciiNoCase(functionName, "TessarionClose") ||
        equalsAsciiNoCase(functionName, "TessarionRelease")) {
        if (sessionSlots[slot].browserMode == 0)
            releaseSessionSlot(slot);
        else
            logNormal("[Browser mode] Skip release process", "");
        return reply;
    }
    if (equalsAsciiNoCase(functionName, "setTessarionValue")) return setValueCommand(request, reply);
    if (equalsAsciiNoCase(functionName, "getTessarionValue")) return getValueCommand(request, origin, reply);
    if (isEcho(functionName)) return echoCommand(slot, reply);
    return callAdapter(request, functionName, slot, reply);
}

}  // namespace

JsonMap* dispatchRequest(JsonMap* request, const char* origin) {
    if (!request) {
        reportNullParameter("JsonMap", kSource, __LINE__);
        return nullptr;
    }
    if (!origin) {
        reportNullParameter("Origin", kSource, __LINE__);
        return nullptr;
    }
    JsonMap* reply = newJsonMap();
    if (!reply) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    displayParameters(request);

    char sessionId[64];
    int slot = -1;
    if (!findCallerSession(request, sessionId, &slot, reply)) {
        resetReplyResult(&reply, kResultUnreadable, kSource, __LINE__);
        return reply;
    }
    char functionName[512];
    readKey(request, "FunctionName", functionName, sizeof functionName);
    if (slot < 0) return answerWithoutSession(request, origin, sessionId, functionName, reply);
    return answerInSession(request, origin, slot, functionName, reply);
}
