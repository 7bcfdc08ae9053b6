// The flat key/value map every request is parsed into and every reply is built in. The service
// hands a parsed map to the adapter library by pointer, so the layout is a plain struct with no
// library types in it, and both sides must be built from this one header. Reading a value decoded
// by its key's flags is the request values' part (common/request_values/value_getters.h).
#pragma once
#include <cstdint>

#define JSON_MAP_CAPACITY 128

struct JsonMapEntry {
    char* key;              // owned; never NULL in a used entry
    char* value;            // owned; NULL only when set without a value or a copy failed
    unsigned char* binary;  // never set by this system, honoured by the lookup and the dump
    int32_t binaryLength;
};

// Zero-filled when created. Entries 0 to count - 1 are used and sorted by compareJsonKey.
struct JsonMap {
    JsonMapEntry entries[JSON_MAP_CAPACITY];
    char* text;  // copy of the parsed text; NULL in a map built entry by entry
    int32_t count;
};

// While set, a lookup that misses logs the key (the adapter's argument key check uses it).
extern unsigned char keyCheckMode;

// New map of a flat JSON object (at most 128 pairs), or NULL; the caller releases it with
// freeJsonMap.
JsonMap* parseJsonMap(const char* inputJsonStr);
// New zero-filled map to build a reply in, or NULL.
JsonMap* newJsonMap();
// Overwrites and frees every key, value and binary block, the text and the map (NULL is fine).
void freeJsonMap(JsonMap* map);

// New copy of the raw value of key (case ignored) searched between entries low and high, or NULL.
// Callers pass 0 and count - 1. A binary entry gives a copy of its bytes with a NUL after them.
char* BinarySearchTessarionJsonMap(const JsonMap* map, int low, int high, const char* key);
// The entry of key found the same way (a miss logged alike), or NULL; nothing is copied.
const JsonMapEntry* findJsonMapEntry(const JsonMap* map, int low, int high, const char* key);

// The binary probe every lookup shares, over entries low to high of the first count: order(key of
// an entry) answers -1, 0 or 1 as compareJsonKey would for that entry against the key sought.
template <typename Order>
const JsonMapEntry* searchJsonMap(const JsonMap* map, int count, int low, int high, Order order) {
    while (count > 0) {
        int mid = (low + high) / 2;
        if (mid < 0 || mid >= count) break;
        const JsonMapEntry& entry = map->entries[mid];
        int sign = order(entry.key);
        if (sign == 0) return &entry;
        if (low >= high) break;
        if (sign < 0) {
            if (mid + 1 >= count) break;
            low = mid + 1;
        } else {
            if (mid - 1 < 0) break;
            high = mid - 1;
        }
    }
    return nullptr;
}
// -1, 0 or 1 by the key order: A to Z compared as a to z, bytes unsigned, a prefix first. A NULL
// entry gives 100.
int compareJsonKey(const JsonMapEntry* inputA, const JsonMapEntry* inputB);

// Replaces the value of the first entry whose key matches (case ignored; its spelling is kept)
// or adds the pair; a NULL value is stored as NULL. A full map refuses new keys.
void setJsonValue(JsonMap* map, const char* key, const char* value);
// Sets "result" to the number in decimal.
void setJsonResult(JsonMap* map, int number);
// New one-line JSON text {"key": "<Base64 value>", ...} in key order, entries without a value
// left out; "{}" for none; NULL when a value cannot be encoded.
char* serializeJsonMap(const JsonMap* map);

// New text of the value of key (case ignored) in a JSON text of at most 64 tokens, with the
// backslashes before double quotes removed; NULL when absent or not parseable.
char* getJsonValue(const char* inputJSONObj, const char* key);
