// The page's origin from hostile Origin and Referer values. The first byte says which of the two
// headers are present (bit 0 Origin, bit 1 Referer); the rest is the Origin value, a newline, then
// the Referer (header values hold no newline). The result is held against the rule worked out
// here independently: the Origin when it is usable, else the Referer up to its third "/".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/log.h"
#include "service/https_front.h"

namespace {
bool usable(const char* value) {
    return value != nullptr && *value != '\0' && std::strcmp(value, "null") != 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool hasOrigin = (data[0] & 1) != 0;
    const bool hasReferer = (data[0] & 2) != 0;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t newline = rest.find('\n');
    // Values end at their first NUL, as the header lookup hands them over.
    std::string originText = rest.substr(0, newline).c_str();
    std::string refererText = newline == std::string::npos ? "" : rest.substr(newline + 1).c_str();
    // Exact-size heap copies, so a read past either value shows under ASan.
    char* originValue = hasOrigin ? strdup(originText.c_str()) : nullptr;
    char* referer = hasReferer ? strdup(refererText.c_str()) : nullptr;

    // The pieces are logged one by one; the writer stays off, so nothing is written.
    logEnabled.store(1);
    char* origin = originFromHeaders(originValue, referer);

    std::string expected;
    bool expectOrigin = true;
    if (usable(originValue)) {
        expected = originText;
    } else if (!usable(referer)) {
        expectOrigin = false;
    } else {
        size_t first = refererText.find('/');
        size_t second = first == std::string::npos ? first : refererText.find('/', first + 1);
        if (second == std::string::npos) {
            expectOrigin = false;
        } else {
            expected = refererText.substr(0, refererText.find('/', second + 1));
        }
    }
    if (expectOrigin != (origin != nullptr)) abort();
    if (origin != nullptr && expected != origin) abort();

    free(origin);
    free(originValue);
    free(referer);
    return 0;
}
