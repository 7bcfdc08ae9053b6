// Number conversion with a per-thread status, version comparison and random identifiers.
#include "common/numbers.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/text.h"
#include "platform/win_base.h"

thread_local int toolStatus = kConversionOk;

namespace {
const char* const kSource = "Tool";

// The standard conversion in the given base, kept to the range of a 32-bit long as the
// callers (request numbers, version parts, time values) expect.
long convert(const char* text, int base) {
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text, &end, base);
    if (end == text || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        toolStatus = kConversionNotNumber;
        return 0;
    }
    return static_cast<long>(value);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
}  // namespace

long toLong(const char* text, bool digitsOnly) {
    toolStatus = kConversionOk;
    if (text == nullptr) {
        toolStatus = kConversionNullText;
        return 0;
    }
    if (digitsOnly && text[0] != '\0') {
        for (size_t i = 0; text[i] != '\0'; ++i) {
            if (!isDigit(text[i]) && !(i == 0 && text[i] == '-')) {
                toolStatus = kConversionNotNumber;
                return 0;
            }
        }
    }
    return convert(text, 10);
}

long hexToLong(const char* text) {
    toolStatus = kConversionOk;
    if (text == nullptr) {
        toolStatus = kConversionNullText;
        return 0;
    }
    return convert(text, 16);
}

bool lastConversionFailed() {
    return toolStatus == kConversionNotNumber || toolStatus == kConversionNullText;
}

namespace {
// The version's parts: blanks dropped, "." and "," both separate parts.
char** versionParts(const char* version) {
    char buffer[512];
    copyBounded(buffer, sizeof buffer, version);
    char* noBlanks = replaceAll(buffer, " ", "");
    if (noBlanks == nullptr) return nullptr;
    char* commas = replaceAll(noBlanks, ".", ",");
    free(noBlanks);
    if (commas == nullptr) return nullptr;
    char** parts = splitToArray(commas, ",");
    free(commas);
    return parts;
}

size_t partCount(char** parts) {
    size_t n = 0;
    while (parts[n] != nullptr) ++n;
    return n;
}

bool hasEmptyPart(char** parts) {
    for (char** at = parts; *at != nullptr; ++at) {
        if ((*at)[0] == '\0') return true;
    }
    return false;
}

void logStringCompare(const char* partA, const char* partB) {
    logWarning("Version check: ", "String compare mode");
    logWarning(" - Version A: ", partA);
    logWarning(" - Version B: ", partB);
}

int compareParts(char** partsA, char** partsB) {
    size_t count = partCount(partsA);
    if (count != partCount(partsB)) return 3;
    if (hasEmptyPart(partsA) || hasEmptyPart(partsB)) return kVersionEmptyPart;
    for (size_t i = 0; i < count; ++i) {
        const char* a = partsA[i];
        const char* b = partsB[i];
        bool differ = strcmp(a, b) != 0;
        long valueA = toLong(a, true);
        if (lastConversionFailed()) {
            logStringCompare(a, b);
            if (differ) return 2;
            continue;
        }
        long valueB = toLong(b, true);
        if (lastConversionFailed()) {
            if (differ) {
                logStringCompare(a, b);
                return 2;
            }
            continue;
        }
        if (valueA < valueB) return -1;
        if (valueA > valueB) return 1;
    }
    return 0;
}
}  // namespace

int compareVersion(const char* inputVersionA, const char* inputVersionB) {
    if (inputVersionA == nullptr) {
        reportNullParameter("inputVersionA", kSource, 1854);
        return kVersionNoInput;
    }
    if (inputVersionB == nullptr) {
        reportNullParameter("inputVersionB", kSource, 1855);
        return kVersionNoInput;
    }
    char** partsA = versionParts(inputVersionA);
    if (partsA == nullptr) {
        reportAllocFail(kSource, 1862);
        return kVersionNoInput;
    }
    char** partsB = versionParts(inputVersionB);
    if (partsB == nullptr) {
        freeStringList(partsA);
        reportAllocFail(kSource, 1869);
        return kVersionNoInput;
    }
    int result = compareParts(partsA, partsB);
    freeStringList(partsA);
    freeStringList(partsB);
    return result;
}

namespace {
typedef decltype(&SystemFunction036) RandomFunction;
std::atomic<RandomFunction> randomFunction{nullptr};
}  // namespace

bool fillRandom(void* buffer, size_t count) {
    if (buffer == nullptr) return false;
    if (count == 0) return true;
    RandomFunction random = randomFunction.load(std::memory_order_acquire);
    if (random == nullptr) {
        // advapi32's export is part of the platform layer here, so it is linked rather than loaded.
        random = &SystemFunction036;
        randomFunction.store(random, std::memory_order_release);
    }
    // The export takes a 32-bit count: larger requests go in pieces.
    unsigned char* at = static_cast<unsigned char*>(buffer);
    while (count > 0) {
        ULONG piece = count > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<ULONG>(count);
        if (!random(at, piece)) return false;
        at += piece;
        count -= piece;
    }
    return true;
}

char* makeRandomSID() {
    static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    unsigned char bytes[8] = {0};
    // Without random bytes every id would be "00000000_SID": no id rather than a guessable one.
    if (!fillRandom(bytes, sizeof bytes)) {
        logError("Random session id: ", "Fail");
        return nullptr;
    }
    char id[9] = {0};
    for (size_t i = 0; i < sizeof bytes; ++i) id[i] = kAlphabet[bytes[i] % 36];
    char buffer[512] = {0};
    snprintf(buffer, sizeof buffer, "%s_SID", id);
    char* result = copyString(buffer);
    if (result == nullptr) reportAllocFail(kSource, 1832);
    return result;
}
