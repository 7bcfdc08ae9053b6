// The request front's body handling on hostile forms: the form fields as the post processor hands
// them to onPostField, piece by piece, then the decoding of the collected "Parameter" text into the
// request map. The first byte picks the mode:
//  - even: the rest is a list of pieces, each a byte naming the field (low two bits: "Parameter",
//    "parameter", another name, no name), a length byte and that many bytes of value. Only the
//    exact name counts, each piece up to its first NUL, joined in order.
//  - odd: the rest is a request's JSON text, sent as the page sends it (URL-form Base64) in pieces
//    of 1 to 16 bytes; the map must come out as the JSON text parses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/codec.h"
#include "common/json_map.h"
#include "service/https_front.h"

namespace {
// Hands one piece over in an exact-size copy (the post processor's data need not end in a NUL),
// so a read past it shows under ASan.
void deliver(RequestState* record, const char* key, const std::string& value) {
    std::vector<char> copy(value.begin(), value.end());
    if (onPostField(record, MHD_POSTDATA_KIND, key, nullptr, nullptr, nullptr, copy.data(), 0, copy.size()) !=
        MHD_YES)
        abort();
}

std::string urlFormBase64(const std::string& bytes) {
    std::vector<char> encoded((bytes.size() + 2) / 3 * 4 + 1);
    base64EncodeInto(encoded.data(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    std::string out;
    for (const char* at = encoded.data(); *at; ++at) {
        if (*at == '+')
            out += "%2B";
        else if (*at == '/')
            out += "%2F";
        else if (*at == '=')
            out += "%3D";
        else
            out += *at;
    }
    return out;
}

// The map's serialised text ("" for no map), to compare two maps by what the caller sees.
std::string seen(JsonMap* map) {
    if (map == nullptr) return "";
    char* text = serializeJsonMap(map);
    std::string out = text ? text : "<unserialisable>";
    free(text);
    return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto* record = static_cast<RequestState*>(calloc(1, sizeof(RequestState)));
    if (record == nullptr) return 0;
    record->kind = 2;

    const bool sendJson = (data[0] & 1) != 0;
    std::string expectedBody;
    std::string json;
    if (!sendJson) {
        static const char* const kNames[] = {"Parameter", "parameter", "Other", nullptr};
        for (size_t at = 1; at + 2 <= size;) {
            const char* key = kNames[data[at] & 3];
            size_t length = data[at + 1];
            at += 2;
            if (length > size - at) length = size - at;
            std::string value(reinterpret_cast<const char*>(data + at), length);
            at += length;
            deliver(record, key, value);
            if (key != nullptr && std::strcmp(key, "Parameter") == 0) expectedBody += value.c_str();
        }
    } else {
        json.assign(reinterpret_cast<const char*>(data + 1), size - 1);
        json = json.c_str();  // the decoded request ends at its first NUL
        std::string form = urlFormBase64(json);
        size_t piece = static_cast<size_t>(data[0] >> 4) + 1;
        for (size_t at = 0; at < form.size(); at += piece)
            deliver(record, "Parameter", form.substr(at, piece));
        expectedBody = form;
    }

    std::string body = record->body ? std::string(record->body) : "";
    if (body != expectedBody || record->bodyLength != expectedBody.size()) abort();
    if (record->body != nullptr && record->bodyCapacity <= record->bodyLength) abort();

    JsonMap* request = decodeRequestBody(record->body);
    if (request != nullptr && (request->count < 0 || request->count > JSON_MAP_CAPACITY)) abort();
    std::string got = seen(request);
    if (sendJson) {
        JsonMap* direct = parseJsonMap(json.c_str());
        if ((request == nullptr) != (direct == nullptr) || got != seen(direct)) abort();
        freeJsonMap(direct);
    }
    freeJsonMap(request);

    free(record->body);
    free(record);
    return 0;
}
