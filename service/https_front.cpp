// The HTTPS front: each daemon's connection list and the room it makes, the request body kept and
// wiped, the gates of the reply step (TLS version, Host, origin), and the daemons' start and stop.
#include "service/https_front.h"

// The socket address type for the daemon's listen address, and shutdown() for a connection that
// must make room.
#include "platform/sockets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/codec.h"
#include "common/json_map.h"
#include "common/log.h"
#include "common/log_writer.h"
#include "common/result_codes.h"
#include "common/text.h"
#include "service/dispatch.h"

pthread_mutex_t requestLock = PTHREAD_MUTEX_INITIALIZER;

namespace {

const char* const kSource = "Tessarion";
constexpr int kAllValueKinds = 31;

// The largest request body the service takes, as sent (the form, still URL-encoded): 16 MiB, far
// above any page's request. A request whose body passes it gets no reply: its connection is
// closed as soon as the body announces or reaches a larger size, so a caller cannot make the
// service hold more than this per connection.
constexpr uint64_t kBodyLimit = 16u << 20;

// A connection that sends or receives nothing for this long is closed, whatever its state.
constexpr unsigned kIdleTimeoutSeconds = 15;
// Each daemon holds at most this many connections, so the three of them leave a few hundred of
// the process's descriptors to the service's own work (adapter copies, files, pipes) even under a
// soft limit of 1,024. Past kConnectionsKept, each new connection closes the oldest one that has no
// request in its reply step, so connections that never send a request cannot keep others out.
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kConnectionsKept = 192;
// The time-out of a connection dropped to make room: the shortest the daemon knows.
constexpr unsigned kDroppedTimeoutSeconds = 1;

// One connection of a daemon, in the daemon's list from the oldest to the newest (a connection
// moves to the end when it finishes a request). Only the daemon's own thread touches its list.
struct ConnectionTrack {
    MHD_Connection* connection;
    bool replying;  // a request of this connection is in its reply step or being answered
    bool dropped;   // dropped to make room, closing
    ConnectionTrack* previous;
    ConnectionTrack* next;
};

struct DaemonConnections {
    ConnectionTrack* oldest;
    ConnectionTrack* newest;
    unsigned kept;  // connections not dropped
};

// The connection lists of the daemons running, one per port; a list goes with its daemon's stop,
// after the daemon's last callback.
struct StartedDaemon {
    MHD_Daemon* daemon;
    DaemonConnections* connections;
};
StartedDaemon startedDaemons[3];

void unlinkTrack(DaemonConnections* d, ConnectionTrack* t) {
    (t->previous ? t->previous->next : d->oldest) = t->next;
    (t->next ? t->next->previous : d->newest) = t->previous;
    t->previous = t->next = nullptr;
}

void appendTrack(DaemonConnections* d, ConnectionTrack* t) {
    t->previous = d->newest;
    t->next = nullptr;
    (d->newest ? d->newest->next : d->oldest) = t;
    d->newest = t;
}

// Drops the oldest connections without a request in reply until the daemon keeps no more than
// kConnectionsKept. Each one gets the short time-out, so the daemon itself closes and releases it
// once it has been silent for that long: at once on the daemon's next pass for a connection idle
// since before the last second, within a second for a younger one. Each one is also shut down:
// where the socket layer reports a socket shut down locally as closed (Linux) the daemon sees that
// at once, and a peer that still sends cannot keep a dropped connection going. Winsock reports
// such a socket neither readable nor closed, so there the time-out is what ends it; without it
// the daemon would hold the connection until the idle time-out and stay at its limit meanwhile.
void makeRoom(DaemonConnections* d) {
    for (ConnectionTrack* t = d->oldest; t && d->kept > kConnectionsKept; t = t->next) {
        if (t->replying || t->dropped) continue;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(t->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info || MHD_set_connection_option(t->connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                               kDroppedTimeoutSeconds) != MHD_YES)
            continue;
        shutdown(info->connect_fd, SHUT_RDWR);
        t->dropped = true;
        --d->kept;
    }
}

ConnectionTrack* trackOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionTrack*>(info->socket_context) : nullptr;
}

void wipeBody(RequestState* r) {
    if (r->body) wipeBytes(r->body, r->bodyCapacity);
    free(r->body);
    r->body = nullptr;
    r->bodyLength = r->bodyCapacity = 0;
}

// Grows the body by hand so that no copy of a request is left behind unwiped.
bool appendBody(RequestState* r, const char* data, size_t n) {
    if (r->bodyLength + n + 1 > r->bodyCapacity) {
        size_t capacity = r->bodyCapacity ? r->bodyCapacity : 256;
        while (capacity < r->bodyLength + n + 1) capacity *= 2;
        // The field never outgrows the body, so doubling need not go past the limit.
        if (capacity > kBodyLimit + 1 && r->bodyLength + n + 1 <= kBodyLimit + 1) capacity = kBodyLimit + 1;
        char* grown = static_cast<char*>(allocZeroed(capacity));
        if (!grown) return false;
        if (r->body) std::memcpy(grown, r->body, r->bodyLength);
        size_t length = r->bodyLength;
        wipeBody(r);
        r->body = grown;
        r->bodyLength = length;
        r->bodyCapacity = capacity;
    }
    std::memcpy(r->body + r->bodyLength, data, n);
    r->bodyLength += n;
    r->body[r->bodyLength] = 0;
    return true;
}

JsonMap* resultMap(int code) {
    JsonMap* map = newJsonMap();
    if (map) setJsonResult(map, code);
    return map;
}

const char* protocolName(int protocol) {
    switch (protocol) {
        case 2:
            return "TLS 1.0";
        case 3:
            return "TLS 1.1";
        case 4:
            return "TLS 1.2";
        case 5:
            return "TLS 1.3";
        case 200:
            return "DTLS 0.9";
        case 201:
            return "DTLS 1.0";
        case 202:
            return "DTLS 1.2";
        default:
            return nullptr;
    }
}

bool isEmptyOrNull(const char* text) {
    return !text || !*text || std::strcmp(text, "null") == 0;
}

// The origin from the request's own values; *referer is a copy the caller frees.
char* findOrigin(MHD_Connection* connection, char** referer) {
    *referer = copyString(
        MHD_lookup_connection_value(connection, static_cast<MHD_ValueKind>(kAllValueKinds), "referer"));
    logNormal("Referer: ", *referer);
    return originFromHeaders(
        MHD_lookup_connection_value(connection, static_cast<MHD_ValueKind>(kAllValueKinds), "origin"),
        *referer);
}

MHD_Result sendJsonReply(MHD_Connection* connection, JsonMap* reply, const char* origin) {
    if (!reply) return MHD_NO;
    char* text = serializeJsonMap(reply);
    freeJsonMap(reply);
    if (!text) {
        reportAllocFail(kSource, __LINE__);
        return MHD_NO;
    }
    size_t length = std::strlen(text);
    MHD_Response* response = MHD_create_response_from_buffer(length, text, MHD_RESPMEM_MUST_COPY);
    wipeBytes(text, length);
    free(text);
    if (!response) return MHD_NO;
    if (origin && startsWith("http", origin))
        MHD_add_response_header(response, "Access-Control-Allow-Origin", origin);
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    MHD_Result answer = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return answer;
}

// Only TLS 1.2 and later are served. A connection whose details cannot be read gets a refusal, an
// older or unknown protocol no reply at all.
bool isSecureConnection(MHD_Connection* connection, JsonMap** reply) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
    if (!info) {
        logWarning("", "Get connection information error");
        *reply = resultMap(kResultUnreadable);
        return false;
    }
    const char* protocol = protocolName(info->protocol);
    if (!protocol) {
        logWarning("Insecure connection: ", "Unknow connection protocol");
        logWarningInt("", info->protocol);
        return false;
    }
    if (info->protocol == 2 || info->protocol == 3) {
        logWarning("Insecure connection: ", protocol);
        return false;
    }
    logNormal("TLS version: ", protocol);
    return true;
}

// Only a page that addressed the service as localhost or 127.0.0.1 is served, so that a name
// that merely resolves to loopback does not reach it.
bool isLocalHost(MHD_Connection* connection, JsonMap** reply) {
    char host[64];
    copyBounded(host, sizeof host,
                MHD_lookup_connection_value(connection, static_cast<MHD_ValueKind>(kAllValueKinds), "host"));
    logNormal("Host: ", host);
    if (!startsWith("localhost:", host) && !startsWith("127.0.0.1:", host)) {
        logWarning("", "This connection is NOT from localhost");
        *reply = resultMap(kResultBadHost);
        return false;
    }
    return true;
}

MHD_Result replyStep(MHD_Connection* connection, RequestState* record) {
    logNormal("", "Release Mode");
    JsonMap* reply = nullptr;
    JsonMap* request = nullptr;
    char* referer = nullptr;
    char* origin = nullptr;

    if (isSecureConnection(connection, &reply) && isLocalHost(connection, &reply)) {
        request = decodeRequestBody(record->body);
        wipeBody(record);
        if (request) {
            origin = findOrigin(connection, &referer);
            reply = origin ? dispatchRequest(request, origin) : resultMap(kResultNoOrigin);
        }
    }

    MHD_Result answer = sendJsonReply(connection, reply, origin);
    free(origin);
    free(referer);
    freeJsonMap(request);
    if (logEnabled)
        logPlain("===============================================================================", "");
    return answer;
}

// A body announced larger than the limit is refused before any of it is read.
bool bodyOverLimit(MHD_Connection* connection) {
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "content-length");
    if (!length) return false;
    char* end = nullptr;
    unsigned long long announced = std::strtoull(length, &end, 10);
    if (end == length || announced <= kBodyLimit) return false;
    logWarning("Request body over limit: ", "Reject");
    return true;
}

}  // namespace

JsonMap* decodeRequestBody(const char* body) {
    char* decoded = urlBase64Decode(body ? body : "");
    if (!decoded) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    JsonMap* request = parseJsonMap(decoded);
    // The map keeps its own copy of the text, so the decoded request is wiped at once.
    wipeAndFree(decoded);
    if (!request) reportAllocFail(kSource, __LINE__);
    return request;
}

char* originFromHeaders(const char* originValue, const char* referer) {
    char* origin = copyString(originValue ? originValue : "");
    logNormal("Origin: ", origin);
    if (!isEmptyOrNull(origin)) return origin;
    logWarning("Empty origin: ", origin);
    logWarning("Extract origin from referer: ", "Start");
    free(origin);
    if (isEmptyOrNull(referer)) {
        logWarning("Empty Referer: ", referer);
        logWarning("Extract origin from referer: ", "Fail");
        return nullptr;
    }
    char** pieces = splitToArray(referer, "/");
    int count = 0;
    for (; pieces && pieces[count]; ++count) {
        char label[32];
        std::snprintf(label, sizeof label, "UrlList[%d]: ", count);
        logNormal(label, pieces[count]);
    }
    origin = nullptr;
    if (count >= 3) {
        size_t n = std::strlen(pieces[0]) + std::strlen(pieces[1]) + std::strlen(pieces[2]) + 3;
        origin = static_cast<char*>(allocZeroed(n));
        if (origin) std::snprintf(origin, n, "%s/%s/%s", pieces[0], pieces[1], pieces[2]);
    }
    freeStringList(pieces);
    if (!origin) {
        logWarning("", "UrlList error: ");
        logWarning("Extract origin from referer: ", "Fail");
        return nullptr;
    }
    logNormal("New Origin: ", origin);
    return origin;
}

MHD_Result onPostField(void* record, MHD_ValueKind, const char* key, const char*, const char*, const char*,
                       const char* data, uint64_t, size_t size) {
    auto* r = static_cast<RequestState*>(record);
    if (r && key && std::strcmp(key, "Parameter") == 0 && data && size > 0)
        appendBody(r, data, strnlen(data, size));
    return MHD_YES;
}

MHD_Result onHttpRequest(void*, MHD_Connection* connection, const char*, const char* method, const char*,
                         const char* uploadData, size_t* uploadDataSize, void** state) {
    auto* record = static_cast<RequestState*>(*state);
    if (!record) {
        if (bodyOverLimit(connection)) return MHD_NO;
        record = static_cast<RequestState*>(allocZeroed(sizeof(RequestState)));
        if (!record) return MHD_NO;
        if (method && std::strcmp(method, "POST") == 0) {
            record->postProcessor = MHD_create_post_processor(connection, 8192, onPostField, record);
            if (!record->postProcessor) {
                free(record);
                return MHD_NO;
            }
            record->kind = 1;
        } else {
            record->kind = 2;
        }
        *state = record;
        return MHD_YES;
    }
    if (!method || std::strcmp(method, "POST") != 0) {
        logError("Request method error: ", method);
        return MHD_NO;
    }
    if (*uploadDataSize != 0) {
        record->received += *uploadDataSize;
        if (record->received > kBodyLimit) {
            logWarning("Request body over limit: ", "Reject");
            return MHD_NO;
        }
        MHD_post_process(record->postProcessor, uploadData, *uploadDataSize);
        *uploadDataSize = 0;
        return MHD_YES;
    }
    if (ConnectionTrack* track = trackOf(connection)) track->replying = true;
    pthread_mutex_lock(&requestLock);
    MHD_Result answer = replyStep(connection, record);
    pthread_mutex_unlock(&requestLock);
    return answer;
}

void onRequestCompleted(void* closure, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
    if (ConnectionTrack* track = trackOf(connection); track && closure) {
        track->replying = false;
        unlinkTrack(static_cast<DaemonConnections*>(closure), track);
        appendTrack(static_cast<DaemonConnections*>(closure), track);
    }
    auto* record = static_cast<RequestState*>(*state);
    if (!record) return;
    if (record->kind == 1 && record->postProcessor) MHD_destroy_post_processor(record->postProcessor);
    wipeBody(record);
    free(record);
    *state = nullptr;
}

void onConnectionChange(void* closure, MHD_Connection* connection, void** socketContext,
                        MHD_ConnectionNotificationCode code) {
    auto* d = static_cast<DaemonConnections*>(closure);
    if (!d || !socketContext) return;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* t = static_cast<ConnectionTrack*>(allocZeroed(sizeof(ConnectionTrack)));
        *socketContext = t;
        if (!t) return;
        t->connection = connection;
        appendTrack(d, t);
        ++d->kept;
        makeRoom(d);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        auto* t = static_cast<ConnectionTrack*>(*socketContext);
        if (!t) return;
        unlinkTrack(d, t);
        if (!t->dropped) --d->kept;
        free(t);
        *socketContext = nullptr;
    }
}

MHD_Result acceptLocalOnly(void*, const struct sockaddr* address, socklen_t length) {
    // The four address bytes of an IPv4 socket address follow the family and the port.
    const auto* bytes = reinterpret_cast<const unsigned char*>(address);
    if (address && length >= 8 && bytes[4] == 127 && bytes[5] == 0 && bytes[6] == 0 && bytes[7] == 1)
        return MHD_YES;
    if (logEnabled && address && length >= 16) {
        char text[14 * 5 + 1] = "";
        size_t used = 0;
        for (int i = 0; i < 14; ++i)
            used += std::snprintf(text + used, sizeof text - used, i ? ".%d" : "%d",
                                  static_cast<int>(static_cast<signed char>(address->sa_data[i])));
        logWarning("Illegal connection ip: ", text);
    }
    return MHD_NO;
}

void logDaemonMessage(void*, const char* format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    writeLogLine(5, "%s", text);
}

MHD_Daemon* startHttpsDaemon(int port, const char* certificate, const char* key, const char* priorities) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    StartedDaemon* slot = nullptr;
    for (auto& started : startedDaemons)
        if (!started.daemon && !slot) slot = &started;
    if (!slot) return nullptr;
    auto* connections = static_cast<DaemonConnections*>(allocZeroed(sizeof(DaemonConnections)));
    if (!connections) return nullptr;
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_TLS | MHD_USE_AUTO_INTERNAL_THREAD, static_cast<uint16_t>(port), acceptLocalOnly, nullptr,
        onHttpRequest, nullptr, MHD_OPTION_EXTERNAL_LOGGER, logDaemonMessage, nullptr, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_HTTPS_MEM_CERT, certificate,
        MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_HTTPS_PRIORITIES, priorities, MHD_OPTION_NOTIFY_COMPLETED,
        onRequestCompleted, connections, MHD_OPTION_NOTIFY_CONNECTION, onConnectionChange, connections,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
        MHD_OPTION_END);
    if (!daemon) {
        free(connections);
        return nullptr;
    }
    *slot = {daemon, connections};
    return daemon;
}

void stopHttpsDaemon(MHD_Daemon* daemon) {
    if (!daemon) return;
    MHD_stop_daemon(daemon);
    for (auto& started : startedDaemons) {
        if (started.daemon != daemon) continue;
        free(started.connections);
        started = {nullptr, nullptr};
    }
}
