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
