// Request map access for the handlers: the typed getters and the argument key check, which
// records a missing argument key as 61016 while a handler reads its keys.
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "adapter/adapter.h"
#include "common/codec.h"
#include "common/log.h"
#include "common/request_values/value_getters.h"
#include "common/text.h"

int32_t keyCheckError = 0;

namespace {

bool hasKey(const JsonMap* map, const char* key) {
    int count = map->count < 0 ? 0 : (map->count > JSON_MAP_CAPACITY ? JSON_MAP_CAPACITY : map->count);
    for (int i = 0; i < count; ++i)
        if (map->entries[i].key && equalsAsciiNoCase(map->entries[i].key, key)) return true;
    return false;
}

// The leading decimal integer: blanks, one sign, digits; clamped to the 32-bit range.
int32_t leadingInteger(const char* text) {
    while (std::isspace((unsigned char)*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > (long long)INT_MAX + 1) break;  // already beyond either limit
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int32_t)value;
}

}  // namespace

void noteMissingKey(const JsonMap* map, const char* key) {
    if (!keyCheckMode || map == nullptr || key == nullptr) return;
    if (std::strstr(key, "Tessarion") || std::strstr(key, "topui")) return;
    // A present key whose value did not decode is not missing.
    if (!hasKey(map, key)) keyCheckError = kResultMissingKey;
}

char* getCheckedJsonText(const JsonMap* map, const char* key) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 413);
        return nullptr;
    }
    if (key == nullptr) {
        reportNullParameter("inputKey", "Json", 414);
        return nullptr;
    }
    char* value = getJsonMapValue(map, key);
    if (value == nullptr) noteMissingKey(map, key);
    return value;
}

int32_t getJsonInt(const JsonMap* map, const char* key) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 471);
        return 0;
    }
    if (key == nullptr) {
        reportNullParameter("inputKey", "Json", 472);
        return 0;
    }
    char* value = getCheckedJsonText(map, key);
    if (value == nullptr) return 0;
    int32_t number;
    if (equalsAsciiNoCase(value, "true"))
        number = 1;
    else if (equalsAsciiNoCase(value, "false"))
        number = 0;
    else
        number = leadingInteger(value);
    wipeAndFree(value);
    return number;
}

_bstr_t getJsonBstr(const JsonMap* map, const char* key) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 563);
        return _bstr_t();
    }
    if (key == nullptr) {
        reportNullParameter("inputKey", "Json", 564);
        return _bstr_t();
    }
    char* value = getCheckedJsonText(map, key);
    if (value == nullptr) return _bstr_t();
    _bstr_t holder = utf8ToBstr(value);
    wipeAndFree(value);
    return holder;
}
