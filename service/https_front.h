// The service's web front: the settings of each HTTPS daemon and the callbacks libmicrohttpd calls
// (accept policy, access handler, request-completed callback, logger).
#pragma once
#include <microhttpd.h>
#include <pthread.h>
#include <cstdarg>

// One request at a time uses the session slots, adapters and value store; TessarionFinal takes it
// too before it unloads the adapters.
extern pthread_mutex_t requestLock;

// The daemon priority string: TLS 1.2 and 1.3 only, no SHA-1.
#define TESSARION_TLS_PRIORITIES \
    "NORMAL:!VERS-TLS-ALL:!SHA1" \
    ":+VERS-TLS1.2"              \
    ":+VERS-TLS1.3"

// Starts one daemon on 127.0.0.1:port; NULL when it cannot be started.
MHD_Daemon* startHttpsDaemon(int port, const char* certificate, const char* key, const char* priorities);
// Stops a daemon startHttpsDaemon gave and frees what it kept for it.
void stopHttpsDaemon(MHD_Daemon* daemon);

// What one request collects while its body arrives; created on the first call of the access handler
// and freed by the request-completed callback.
struct RequestState {
    int kind;  // 1: a POST with a post processor, 2: any other method
    MHD_PostProcessor* postProcessor;
    char* body;  // the "Parameter" field so far
    size_t bodyLength;
    size_t bodyCapacity;
    uint64_t received;  // body bytes taken so far
};

// The request map of a collected body (URL-safe Base64 of a flat JSON object), or NULL when it does
// not decode or parse.
struct JsonMap;
JsonMap* decodeRequestBody(const char* body);
// The page's origin from the Origin value, or rebuilt as scheme://host:port from the Referer; NULL
// when neither gives one. Either value may be NULL (the header is absent).
char* originFromHeaders(const char* originValue, const char* referer);

MHD_Result acceptLocalOnly(void* closure, const struct sockaddr* address, socklen_t length);
MHD_Result onHttpRequest(void* closure, MHD_Connection* connection, const char* url, const char* method,
                         const char* version, const char* uploadData, size_t* uploadDataSize, void** state);
MHD_Result onPostField(void* record, MHD_ValueKind kind, const char* key, const char* fileName,
                       const char* contentType, const char* transferEncoding, const char* data,
                       uint64_t offset, size_t size);
void onRequestCompleted(void* closure, MHD_Connection* connection, void** state,
                        MHD_RequestTerminationCode code);
void onConnectionChange(void* closure, MHD_Connection* connection, void** socketContext,
                        MHD_ConnectionNotificationCode code);
void logDaemonMessage(void* closure, const char* format, va_list arguments);
