// The decoding getters of a request map: the plain lookup of the map, then the key's flags.
#include "common/request_values/value_getters.h"

#include <climits>
#include <cstdlib>

#include "common/log.h"
#include "common/request_values/value_flags.h"
#include "common/text.h"

namespace {

int usedCount(const JsonMap* map) {
    if (map->count < 0) return 0;
    return map->count > JSON_MAP_CAPACITY ? JSON_MAP_CAPACITY : map->count;
}

// Flag values: "true"/"false" (case ignored), else the leading integer as atoi reads it, held
// to the int range instead of overflowing.
int flagNumber(const JsonMap* map, const char* key) {
    char* value = getJsonMapValue(map, key);
    if (value == nullptr) return 0;
    int result;
    if (equalsAsciiNoCase(value, "true")) {
        result = 1;
    } else if (equalsAsciiNoCase(value, "false")) {
        result = 0;
    } else {
        long number = strtol(value, nullptr, 10);
        if (number > INT_MAX) number = INT_MAX;
        if (number < INT_MIN) number = INT_MIN;
        result = static_cast<int>(number);
    }
    wipeAndFree(value);
    return result;
}

}  // namespace

char* getJsonMapValue(const JsonMap* map, const char* key) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 413);
        return nullptr;
    }
    if (key == nullptr) {
        reportNullParameter("inputKey", "Json", 414);
        return nullptr;
    }
    const JsonMapEntry* entry = findJsonMapEntry(map, 0, usedCount(map) - 1, key);
    if (entry == nullptr) return nullptr;
    char* decoded;
    if (entry->value != nullptr) {
        // Decoding reads the value and makes its own text, so the stored value needs no copy.
        decoded = decodeJsonValue(map, key, entry->value);
    } else {
        char* raw = BinarySearchTessarionJsonMap(map, 0, usedCount(map) - 1, key);
        if (raw == nullptr) return nullptr;
        decoded = decodeJsonValue(map, key, raw);
        wipeAndFree(raw);
    }
    if (decoded == nullptr) reportAllocFail("Json", 425);
    return decoded;
}

int getModeFlag(const JsonMap* map) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 437);
        return 0;
    }
    return flagNumber(map, "TessarionMode");
}

int getTimeoutFlag(const JsonMap* map) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 471);
        return 0;
    }
    return flagNumber(map, "timeout");
}

bool isJsonFlagTrue(const JsonMap* map, const char* key) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 612);
        return false;
    }
    if (key == nullptr) {
        reportNullParameter("inputKey", "Json", 613);
        return false;
    }
    char* value = getJsonMapValue(map, key);
    if (value == nullptr) return false;
    bool isTrue = equalsAsciiNoCase(value, "true");
    wipeAndFree(value);
    return isTrue;
}
