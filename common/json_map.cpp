// The request/reply map. The tokenizer is jsmn, defined in this one unit (every other unit that
// needs it includes jsmn.h with JSMN_HEADER), in its default non-strict mode without parent links.
#include "common/json_map.h"

#include <jsmn.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/codec.h"
#include "common/log.h"
#include "common/system.h"
#include "common/text.h"

unsigned char keyCheckMode = 0;

namespace {

constexpr int kRequestTokens = 257;  // one object and 128 pairs
constexpr int kMessageTokens = 64;

// A few freed maps kept for the next ones: a map is larger than the allocator's small-block
// caches, and allocating one afresh makes it tidy its free lists each time. A kept map holds
// no texts (they are wiped and freed first); it is zero-filled again before reuse.
constexpr int kSpareMaps = 4;
struct SpareMaps {
    std::atomic<JsonMap*> slots[kSpareMaps] = {};
    ~SpareMaps() {
        for (auto& slot : slots) free(slot.exchange(nullptr));
    }
};
SpareMaps spareMaps;

JsonMap* takeMap() {
    for (auto& slot : spareMaps.slots) {
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        JsonMap* map = slot.exchange(nullptr);
        if (map != nullptr) {
            memset(map, 0, sizeof(JsonMap));
            return map;
        }
    }
    return static_cast<JsonMap*>(allocZeroed(sizeof(JsonMap)));
}

void keepMap(JsonMap* map) {
    for (auto& slot : spareMaps.slots) {
        JsonMap* empty = nullptr;
        if (slot.compare_exchange_strong(empty, map)) return;
    }
    free(map);
}

// A missing key sorts as the empty one.
int compareKeys(const char* a, const char* b) {
    return compareAsciiNoCase(a != nullptr ? a : "", b != nullptr ? b : "");
}

// Insertion sort: the map is small, and this needs no memory of its own.
void sortEntries(JsonMap* map) {
    int count = map->count > JSON_MAP_CAPACITY ? JSON_MAP_CAPACITY : map->count;
    for (int i = 1; i < count; ++i) {
        JsonMapEntry moving = map->entries[i];
        int j = i - 1;
        while (j >= 0 && compareJsonKey(&map->entries[j], &moving) > 0) {
            map->entries[j + 1] = map->entries[j];
            --j;
        }
        map->entries[j + 1] = moving;
    }
}

// The bytes of one token as a new text, or NULL when the token does not lie inside the text.
char* tokenText(const char* text, size_t length, const jsmntok_t& token) {
    if (token.start < 0 || token.end < token.start || static_cast<size_t>(token.end) > length) return nullptr;
    if (token.end == token.start) return copyString("");
    return substring(text, static_cast<size_t>(token.start), static_cast<size_t>(token.end));
}

int usedCount(const JsonMap* map) {
    if (map->count < 0) return 0;
    return map->count > JSON_MAP_CAPACITY ? JSON_MAP_CAPACITY : map->count;
}

}  // namespace

int compareJsonKey(const JsonMapEntry* inputA, const JsonMapEntry* inputB) {
    if (inputA == nullptr) {
        reportNullParameter("inputA", "Json", 25);
        return 100;
    }
    if (inputB == nullptr) {
        reportNullParameter("inputB", "Json", 26);
        return 100;
    }
    return compareKeys(inputA->key, inputB->key);
}

const JsonMapEntry* findJsonMapEntry(const JsonMap* map, int low, int high, const char* key) {
    if (map == nullptr || key == nullptr) return nullptr;
    int count = usedCount(map);
    if (low < 0) low = 0;
    if (high > count - 1) high = count - 1;
    const JsonMapEntry* found = searchJsonMap(
        map, count, low, high, [key](const char* entryKey) { return compareKeys(entryKey, key); });
    if (found != nullptr) return found;
    if (keyCheckMode && strstr(key, "Tessarion") == nullptr && strstr(key, "topui") == nullptr) {
        logWarning("Json map key not found: ", key);
    }
    return nullptr;
}

char* BinarySearchTessarionJsonMap(const JsonMap* map, int low, int high, const char* key) {
    const JsonMapEntry* found = findJsonMapEntry(map, low, high, key);
    if (found != nullptr) {
        const JsonMapEntry& entry = *found;
        {
            if (entry.value != nullptr) {
                char* copy = copyString(entry.value);
                if (copy == nullptr) reportAllocFail("Json", 61);
                return copy;
            }
            if (entry.binary != nullptr && entry.binaryLength > 0) {
                // A NUL behind the bytes, so a caller that takes them as text stays inside.
                char* copy = static_cast<char*>(allocZeroed(static_cast<size_t>(entry.binaryLength) + 1));
                if (copy == nullptr) {
                    reportAllocFail("Json", 66);
                    return nullptr;
                }
                memcpy(copy, entry.binary, static_cast<size_t>(entry.binaryLength));
                return copy;
            }
            return nullptr;
        }
    }
    return nullptr;
}

JsonMap* newJsonMap() {
    JsonMap* map = takeMap();
    if (map == nullptr) reportAllocFail("Json", 136);
    return map;
}

void freeJsonMap(JsonMap* map) {
    if (map == nullptr) return;
    int count = usedCount(map);
    for (int i = 0; i < count; ++i) {
        JsonMapEntry& entry = map->entries[i];
        wipeAndFree(entry.key);
        wipeAndFree(entry.value);
        if (entry.binary != nullptr) {
            if (entry.binaryLength > 0) wipeBytes(entry.binary, static_cast<size_t>(entry.binaryLength));
            free(entry.binary);
        }
    }
    wipeAndFree(map->text);
    keepMap(map);
}

JsonMap* parseJsonMap(const char* inputJsonStr) {
    if (inputJsonStr == nullptr) {
        reportNullParameter("inputJsonStr", "Json", 125);
        return nullptr;
    }
    size_t length = strlen(inputJsonStr);
    jsmn_parser parser;
    jsmntok_t tokens[kRequestTokens];
    jsmn_init(&parser);
    int n = jsmn_parse(&parser, inputJsonStr, length, tokens, kRequestTokens);
    if (n < 2) {
        logError("jsmn parse error", "");
        logError("Error json: ", inputJsonStr);
        return nullptr;
    }
    if (n > kRequestTokens) n = kRequestTokens;

    JsonMap* map = takeMap();
    if (map == nullptr) {
        reportAllocFail("Json", 136);
        return nullptr;
    }
    // Pairs are counted back from the last token, so a nested container's text becomes the value
    // of the key before it and its inner tokens further pairs.
    for (int k = n - 2; k > 0 && map->count < JSON_MAP_CAPACITY; k -= 2) {
        char* key = tokenText(inputJsonStr, length, tokens[k]);
        if (key == nullptr) {
            reportAllocFail("Json", 141);
            return map;
        }
        char* raw = tokenText(inputJsonStr, length, tokens[k + 1]);
        char* value;
        if (raw != nullptr && strchr(raw, '\\') == nullptr) {
            value = raw;  // nothing to unescape
        } else {
            value = raw != nullptr ? unescapeJsonText(raw) : nullptr;
            wipeAndFree(raw);
        }
        if (value == nullptr) value = copyString("");
        JsonMapEntry& entry = map->entries[map->count++];
        entry.key = key;
        entry.value = value;
    }
    sortEntries(map);
    map->text = copyString(inputJsonStr);
    return map;
}

void setJsonValue(JsonMap* map, const char* key, const char* value) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 172);
        return;
    }
    if (key == nullptr) {
        reportNullParameter("Key", "Json", 173);
        return;
    }
    int count = usedCount(map);
    JsonMapEntry wanted = {const_cast<char*>(key), nullptr, nullptr, 0};
    for (int i = 0; i < count; ++i) {
        if (compareJsonKey(&map->entries[i], &wanted) == 0) {
            wipeAndFree(map->entries[i].value);
            map->entries[i].value = value != nullptr ? copyString(value) : nullptr;
            return;
        }
    }
    if (count >= JSON_MAP_CAPACITY) {
        logWarning("Json map is full, key not added: ", key);
        return;
    }
    char* keyCopy = copyString(key);
    if (keyCopy == nullptr) return;
    map->entries[count].key = keyCopy;
    map->entries[count].value = value != nullptr ? copyString(value) : nullptr;
    map->entries[count].binary = nullptr;
    map->entries[count].binaryLength = 0;
    map->count = count + 1;
    sortEntries(map);
}

void setJsonResult(JsonMap* map, int number) {
    char text[64];
    snprintf(text, sizeof text, "%d", number);
    setJsonValue(map, "result", text);
}

char* serializeJsonMap(const JsonMap* map) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 265);
        return nullptr;
    }
    int count = usedCount(map);
    size_t total = 3;  // the braces and the terminator
    for (int i = 0; i < count; ++i) {
        const JsonMapEntry& entry = map->entries[i];
        if (entry.value == nullptr) continue;
        size_t length = strlen(entry.value);
        if (length > (static_cast<size_t>(INT_MAX) - 2) / 4 * 3 - 2) {
            reportAllocFail("Json", 281);
            return nullptr;
        }
        // ", " + quote + key + quote, colon, blank, quote + value + quote
        total += 2 + 1 + strlen(entry.key != nullptr ? entry.key : "") + 4 + (length + 2) / 3 * 4 + 1;
    }
    // The values are encoded straight into the reply text: no copy of one is left behind.
    char* result = static_cast<char*>(allocZeroed(total));
    if (result == nullptr) return nullptr;
    char* at = result;
    bool first = true;
    *at++ = '{';
    for (int i = 0; i < count; ++i) {
        const JsonMapEntry& entry = map->entries[i];
        if (entry.value == nullptr) continue;
        const char* key = entry.key != nullptr ? entry.key : "";
        if (!first) {
            memcpy(at, ", ", 2);
            at += 2;
        }
        first = false;
        *at++ = '"';
        size_t n = strlen(key);
        memcpy(at, key, n);
        at += n;
        memcpy(at, "\": \"", 4);
        at += 4;
        at += base64EncodeInto(at, reinterpret_cast<const unsigned char*>(entry.value), strlen(entry.value)) -
              1;
        *at++ = '"';
    }
    *at++ = '}';
    *at = '\0';
    return result;
}

char* getJsonValue(const char* inputJSONObj, const char* key) {
    if (inputJSONObj == nullptr) {
        reportNullParameter("inputJSONObj", "Tool", 2043);
        return nullptr;
    }
    if (key == nullptr) {
        reportNullParameter("key", "Tool", 2044);
        return nullptr;
    }
    char* wanted = toLowerCopy(key);
    if (wanted == nullptr) {
        reportAllocFail("Tool", 2047);
        return nullptr;
    }
    size_t length = strlen(inputJSONObj);
    jsmn_parser parser;
    jsmntok_t tokens[kMessageTokens];
    jsmn_init(&parser);
    int n = jsmn_parse(&parser, inputJSONObj, length, tokens, kMessageTokens);
    if (n > kMessageTokens) n = kMessageTokens;
    char* result = nullptr;
    for (int i = 1; i < n; i += 2) {
        char* name = tokenText(inputJSONObj, length, tokens[i]);
        if (name == nullptr || name[0] == '\0') {
            free(name);
            continue;
        }
        bool match = equalsAsciiNoCase(name, wanted);
        free(name);
        if (!match) continue;
        if (i + 1 >= n) break;
        char* value = tokenText(inputJSONObj, length, tokens[i + 1]);
        if (value != nullptr) {
            char* to = value;
            for (const char* from = value; *from != '\0'; ++from) {
                if (*from == '\\' && from[1] == '"') continue;
                *to++ = *from;
            }
            *to = '\0';
        }
        result = value;
        break;
    }
    free(wanted);
    return result;
}
