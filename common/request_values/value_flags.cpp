// Decoding of flagged request values and the masked parameter dump.
#include "common/request_values/value_flags.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/codec.h"
#include "common/log.h"
#include "common/request_values/value_getters.h"
#include "common/shared_secrets.h"
#include "common/system.h"
#include "common/text.h"
#include "crypto/aes_value.h"

namespace {

// Set while this thread writes a parameter dump. Deciphering a value writes a dump, and the dump
// decodes each key's Hide flag, so a Hide flag sent enciphered would otherwise recurse forever.
thread_local bool dumpInProgress = false;

struct DumpScope {
    bool outer;
    DumpScope() : outer(!dumpInProgress) { dumpInProgress = true; }
    ~DumpScope() {
        if (outer) dumpInProgress = false;
    }
};

int lastIndex(const JsonMap* map) {
    int count = map->count < 0 ? 0 : map->count;
    if (count > JSON_MAP_CAPACITY) count = JSON_MAP_CAPACITY;
    return count - 1;
}

// The map's key order (see compareJsonKey) of entryKey against the text key + suffix, without
// joining the two.
int compareWithJoined(const char* entryKey, const char* key, const char* suffix) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(entryKey != nullptr ? entryKey : "");
    const unsigned char* y = reinterpret_cast<const unsigned char*>(key);
    bool inSuffix = false;
    for (;; ++x, ++y) {
        if (*y == 0 && !inSuffix) {
            y = reinterpret_cast<const unsigned char*>(suffix);
            inSuffix = true;
        }
        unsigned char cx = asciiLower(*x), cy = asciiLower(*y);
        if (cx != cy) return cx < cy ? -1 : 1;
        if (cx == 0) return 0;
    }
}

// The entry of key + suffix, probed as findJsonMapEntry probes.
const JsonMapEntry* findJoined(const JsonMap* map, const char* key, const char* suffix) {
    int count = lastIndex(map) + 1;
    return searchJsonMap(map, count, 0, count - 1, [key, suffix](const char* entryKey) {
        return compareWithJoined(entryKey, key, suffix);
    });
}

// A flag counts only when its raw value is "true" (case ignored); it is looked at through an
// 8-byte buffer, so a longer value never counts.
bool flagIsSet(const JsonMap* map, const char* key, const char* suffix) {
    // The flag key is looked up as if formatted into 512 bytes. A joined key that fits is
    // compared in place (it holds "Tessarion", so a miss is never logged); a longer one is cut.
    char flagKey[512];
    const JsonMapEntry* found;
    size_t keyLength = strnlen(key, sizeof flagKey);
    if (keyLength + strlen(suffix) < sizeof flagKey) {
        found = findJoined(map, key, suffix);
    } else {
        snprintf(flagKey, sizeof flagKey, "%s%s", key, suffix);
        found = findJsonMapEntry(map, 0, lastIndex(map), flagKey);
    }
    if (found == nullptr) return false;
    // Compared in place: only a value of exactly "true" (case ignored) counts.
    if (found->value != nullptr) return equalsAsciiNoCase(found->value, "true");
    if (found->binary == nullptr || found->binaryLength <= 0) return false;
    const char* bytes = reinterpret_cast<const char*>(found->binary);
    size_t n = static_cast<size_t>(found->binaryLength);
    // At most five bytes tell: "true" and then the end of the block or a NUL.
    char head[6] = {};
    std::memcpy(head, bytes, n < 5 ? n : 5);
    return n >= 4 && equalsAsciiNoCase(head, "true");
}

char* decryptValue(const JsonMap* map, const char* inputValue) {
    if (!dumpInProgress) displayParameters(map);
    logNormal("find key: ", "Tessarion_share_secret");
    char* secret = BinarySearchTessarionJsonMap(map, 0, lastIndex(map), "Tessarion_share_secret");
    if (secret == nullptr) {
        reportAllocFail("Json", 336);
        return copyString(inputValue);
    }
    // The key is the secret's first 32 bytes; a shorter secret is padded with zeros rather than
    // read past its end.
    unsigned char key[32] = {};
    size_t secretLength = strlen(secret);
    memcpy(key, secret, secretLength < sizeof key ? secretLength : sizeof key);
    wipeAndFree(secret);
    unsigned char iv[16];
    memcpy(iv, kFixedIv, sizeof iv);

    size_t cipherLength = strlen(inputValue) / 2;
    if (cipherLength > INT32_MAX) cipherLength = INT32_MAX;
    unsigned char* cipher = hexDecode(inputValue);
    char* plain = nullptr;
    if (cipher != nullptr) {
        plain = aesDecryptText(cipher, static_cast<int32_t>(cipherLength), key, iv);
        wipeBytes(cipher, cipherLength);
        free(cipher);
    }
    wipeBytes(key, sizeof key);
    wipeBytes(iv, sizeof iv);
    if (plain == nullptr) {
        reportAllocFail("Json", 342);
        return copyString(inputValue);
    }
    return plain;
}

char* decodedOrRaw(char* decoded, const char* inputValue, int failureLine) {
    if (decoded != nullptr) return decoded;
    reportAllocFail("Json", failureLine);
    return copyString(inputValue);
}

char* stars(size_t n) {
    char* text = static_cast<char*>(allocZeroed(n + 1));
    if (text != nullptr) memset(text, '*', n);
    return text;
}

}  // namespace

char* decodeJsonValue(const JsonMap* map, const char* inputKey, const char* inputValue) {
    if (map == nullptr) {
        reportNullParameter("inputTessarionJson", "Json", 308);
        return copyString(inputValue);
    }
    if (inputKey == nullptr) {
        reportNullParameter("inputKey", "Json", 309);
        return copyString(inputValue);
    }
    if (inputValue == nullptr) {
        reportNullParameter("inputValue", "Json", 310);
        return nullptr;
    }
    if (flagIsSet(map, inputKey, "_TessarionEncryptFlag")) return decryptValue(map, inputValue);
    if (flagIsSet(map, inputKey, "_TessarionFlag"))
        return decodedOrRaw(replaceAll(inputValue, "*", "\\"), inputValue, 358);
    if (flagIsSet(map, inputKey, "_TessarionSlashFlag"))
        return decodedOrRaw(replaceAll(inputValue, "==TessarionSlash==", "\\"), inputValue, 371);
    if (flagIsSet(map, inputKey, "_TessarionBase64Flag"))
        return decodedOrRaw(urlBase64Decode(inputValue), inputValue, 386);
    return copyString(inputValue);
}

namespace {

// Why the dump shows an entry's value as stars, if it does.
enum class Masking { kShown, kSecretName, kHidden };

// A "Tessarion" key is always shown; a key naming a pin, pw or pass is a secret; any other is
// hidden when its "_TessarionHide" flag is set.
Masking maskingOf(const JsonMap* map, const char* key, const char* lowerLabel) {
    if (strstr(lowerLabel, "tessarion") != nullptr) return Masking::kShown;
    if (strstr(lowerLabel, "pin") != nullptr || strstr(lowerLabel, "pw") != nullptr ||
        strstr(lowerLabel, "pass") != nullptr)
        return Masking::kSecretName;
    char hideKey[512];
    snprintf(hideKey, sizeof hideKey, "%s_TessarionHide", key);
    return isJsonFlagTrue(map, hideKey) ? Masking::kHidden : Masking::kShown;
}

// Logs the value under its label, masked as its key asks; false when the stars could not be had.
bool logEntryValue(const JsonMap* map, const JsonMapEntry& entry, const char* key, const char* label,
                   const char* lowerLabel) {
    if (entry.value == nullptr) {
        logNormal(label, entry.binary != nullptr ? "[binary_value]" : "[empty]");
        return true;
    }
    Masking masking = maskingOf(map, key, lowerLabel);
    if (masking == Masking::kShown) {
        logNormal(label, entry.value);
        return true;
    }
    char* masked = stars(strlen(entry.value));
    if (masked == nullptr) {
        reportAllocFail("Json", masking == Masking::kSecretName ? 707 : 710);
        return false;
    }
    logNormal(label, masked);
    free(masked);
    return true;
}

// Logs one entry as "<key>: <value>"; false when a buffer could not be had, which ends the dump.
bool logEntry(const JsonMap* map, const JsonMapEntry& entry) {
    const char* key = entry.key != nullptr ? entry.key : "";
    size_t labelSize = strlen(key) + 5;
    char* label = static_cast<char*>(allocZeroed(labelSize));
    if (label == nullptr) {
        reportAllocFail("Json", 691);
        return false;
    }
    snprintf(label, labelSize, "%s: ", key);
    char* lower = toLowerCopy(label);
    if (lower == nullptr) {
        reportAllocFail("Json", 696);
        free(label);
        return false;
    }
    bool logged = logEntryValue(map, entry, key, label, lower);
    free(lower);
    free(label);
    return logged;
}

}  // namespace

void displayParameters(const JsonMap* map) {
    if (!logEnabled.load()) return;
    DumpScope scope;
    logNormal("= DISPLAY PARAMETER", " ===== start =====");
    int count = map != nullptr ? lastIndex(map) + 1 : 0;
    for (int i = 0; i < count; ++i)
        if (!logEntry(map, map->entries[i])) break;
    logNormal("= DISPLAY PARAMETER", " ===== end =====");
}
