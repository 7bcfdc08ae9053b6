// Bounded text and buffer functions. Every allocation is zero-filled and sized exactly, so a
// returned text is terminated even when a copy stops short.
#include "common/text.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/codec.h"
#include "common/log.h"

namespace {
const char* const kSource = "Tool";
// Blocks above this size are refused outright: no caller needs them and the size arithmetic of
// the callers stays within int.
const size_t kMaxBlock = 0x7FFFFFFFu;
}  // namespace

void* allocZeroed(size_t n) {
    if (n == 0 || n > kMaxBlock) return nullptr;
    void* block = calloc(1, n);
    if (block == nullptr) reportAllocFail(kSource, 300);
    return block;
}

char* copyString(const char* text) {
    if (text == nullptr) return nullptr;
    size_t length = strlen(text);
    char* copy = static_cast<char*>(allocZeroed(length + 1));
    if (copy == nullptr) {
        reportAllocFail(kSource, 184);
        return nullptr;
    }
    memcpy(copy, text, length);
    return copy;
}

wchar_t* copyWideString(const wchar_t* input) {
    if (input == nullptr) {
        reportNullParameter("input", kSource, 331);
        return nullptr;
    }
    size_t count = wcslen(input) + 1;
    if (count > kMaxBlock / sizeof(wchar_t)) {
        reportAllocFail(kSource, 334);
        return nullptr;
    }
    wchar_t* copy = static_cast<wchar_t*>(allocZeroed(count * sizeof(wchar_t)));
    if (copy == nullptr) {
        reportAllocFail(kSource, 334);
        return nullptr;
    }
    copyBoundedW(copy, count, input);
    return copy;
}

void copyBounded(char* buffer, size_t n, const char* source) {
    if (buffer == nullptr || n == 0 || source == nullptr) return;
    size_t count = strnlen(source, n) + 1;
    if (count > n) count = n;
    // memmove, so a copy within one buffer stays sound.
    memmove(buffer, source, count);
    buffer[n - 1] = '\0';
}

void copyBoundedAndFree(char* buffer, size_t n, char* source) {
    if (source == nullptr) return;
    copyBounded(buffer, n, source);
    wipeAndFree(source);
}

void copyBoundedW(wchar_t* buffer, size_t n, const wchar_t* source) {
    if (buffer == nullptr || n == 0 || source == nullptr) return;
    size_t count = wcsnlen(source, n) + 1;
    if (count > n) count = n;
    wmemmove(buffer, source, count);
    buffer[n - 1] = L'\0';
}

void copyBoundedWAndFree(wchar_t* buffer, size_t n, wchar_t* source) {
    if (source == nullptr) return;
    copyBoundedW(buffer, n, source);
    free(source);
}

void appendWideText(wchar_t* buffer, const wchar_t* source) {
    const size_t size = 512;
    if (buffer == nullptr || source == nullptr) return;
    size_t length = wcsnlen(buffer, size);
    if (length >= size) {
        buffer[size - 1] = L'\0';
        return;
    }
    size_t count = wcsnlen(source, size - length) + 1;
    if (count > size - length) count = size - length;
    wmemmove(buffer + length, source, count);
    buffer[size - 1] = L'\0';
}

char* replaceAll(const char* text, const char* pattern, const char* replacement) {
    if (text == nullptr) return nullptr;
    if (pattern == nullptr) pattern = "";
    if (replacement == nullptr) replacement = "";
    size_t patternLength = strlen(pattern);
    // An empty pattern matches everywhere and nowhere: hand back the text unchanged.
    if (patternLength == 0) return copyString(text);
    size_t replacementLength = strlen(replacement);
    size_t count = 0;
    for (const char* at = strstr(text, pattern); at != nullptr; at = strstr(at + patternLength, pattern))
        ++count;
    size_t textLength = strlen(text);
    size_t size = textLength + 1;
    if (replacementLength >= patternLength) {
        size_t grow = replacementLength - patternLength;
        if (grow != 0 && count > (kMaxBlock - size) / grow) return nullptr;
        size += count * grow;
    } else {
        size -= count * (patternLength - replacementLength);
    }
    char* result = static_cast<char*>(allocZeroed(size));
    if (result == nullptr) return nullptr;
    char* out = result;
    const char* rest = text;
    for (const char* at = strstr(rest, pattern); at != nullptr; at = strstr(rest, pattern)) {
        memcpy(out, rest, static_cast<size_t>(at - rest));
        out += at - rest;
        memcpy(out, replacement, replacementLength);
        out += replacementLength;
        rest = at + patternLength;
    }
    memcpy(out, rest, strlen(rest));
    return result;
}

wchar_t* stripExeSuffix(const wchar_t* name) {
    if (name == nullptr || name[0] == L'\0') {
        reportAllocFail(kSource, 609);
        return nullptr;
    }
    static const wchar_t kSuffix[] = L".exe";
    const size_t suffixLength = 4;
    size_t length = wcslen(name);
    if (length + 1 > kMaxBlock / sizeof(wchar_t)) {
        reportAllocFail(kSource, 614);
        return nullptr;
    }
    wchar_t* result = static_cast<wchar_t*>(allocZeroed((length + 1) * sizeof(wchar_t)));
    if (result == nullptr) {
        reportAllocFail(kSource, 614);
        return nullptr;
    }
    wchar_t* out = result;
    const wchar_t* rest = name;
    for (const wchar_t* at = wcsstr(rest, kSuffix); at != nullptr; at = wcsstr(rest, kSuffix)) {
        wmemcpy(out, rest, static_cast<size_t>(at - rest));
        out += at - rest;
        rest = at + suffixLength;
    }
    wmemcpy(out, rest, wcslen(rest));
    return result;
}

bool startsWith(const char* prefix, const char* inputMainString) {
    if (prefix == nullptr) return true;
    if (inputMainString == nullptr) {
        reportNullParameter("inputMainString", kSource, 1947);
        return false;
    }
    size_t length = strlen(prefix);
    if (strnlen(inputMainString, length) < length) return false;
    return memcmp(prefix, inputMainString, length) == 0;
}

char* substring(const char* text, size_t start, size_t end) {
    if (end < start) return nullptr;
    if (end - start + 1 > kMaxBlock) return nullptr;
    char* result = static_cast<char*>(allocZeroed(end - start + 1));
    if (result == nullptr) return nullptr;
    if (text == nullptr || end == start) return result;
    // Stop at the text's terminator, so a range past its end never reads outside it.
    size_t available = strnlen(text, end);
    if (available > start) memcpy(result, text + start, available - start);
    return result;
}

char* toLowerCopy(const char* input) {
    if (input == nullptr) {
        reportNullParameter("input", kSource, 2013);
        return nullptr;
    }
    char* copy = copyString(input);
    if (copy == nullptr) return nullptr;
    for (char* at = copy; *at != '\0'; ++at) *at = asciiLower(*at);
    return copy;
}

char** splitToArray(const char* text, const char* delimiter) {
    if (text == nullptr || text[0] == '\0' || delimiter == nullptr || delimiter[0] == '\0') {
        char** empty = static_cast<char**>(allocZeroed(sizeof(char*)));
        if (empty == nullptr) reportAllocFail(kSource, 3273);
        return empty;
    }
    size_t delimiterLength = strlen(delimiter);
    size_t count = 1;  // the piece after the last delimiter, empty or not
    for (const char* at = strstr(text, delimiter); at != nullptr;
         at = strstr(at + delimiterLength, delimiter))
        ++count;
    if (count + 1 > kMaxBlock / sizeof(char*)) {
        reportAllocFail(kSource, 3291);
        return nullptr;
    }
    char** list = static_cast<char**>(allocZeroed((count + 1) * sizeof(char*)));
    if (list == nullptr) {
        reportAllocFail(kSource, 3291);
        return nullptr;
    }
    size_t index = 0;
    const char* rest = text;
    for (const char* at = strstr(rest, delimiter); at != nullptr; at = strstr(rest, delimiter)) {
        size_t length = static_cast<size_t>(at - rest);
        char* piece = static_cast<char*>(allocZeroed(length + 1));
        if (piece == nullptr) {
            reportAllocFail(kSource, 184);
            return list;
        }
        memcpy(piece, rest, length);
        list[index++] = piece;
        rest = at + delimiterLength;
    }
    list[index] = copyString(rest);
    return list;
}

void freeStringList(char** list) {
    if (list == nullptr) return;
    for (char** at = list; *at != nullptr; ++at) free(*at);
    free(list);
}

char* rightAlign(const char* MainText, size_t n, char fill) {
    if (MainText == nullptr) {
        reportNullParameter("MainText", kSource, 1777);
        return nullptr;
    }
    if (n + 1 > kMaxBlock) {
        reportAllocFail(kSource, 1782);
        return nullptr;
    }
    char* result = static_cast<char*>(allocZeroed(n + 1));
    if (result == nullptr) {
        reportAllocFail(kSource, 1782);
        return nullptr;
    }
    size_t length = strlen(MainText);
    if (length >= n) {
        // Too long for the width: keep its last n characters, still exactly n wide.
        memcpy(result, MainText + (length - n), n);
    } else {
        memset(result, fill, n - length);
        memcpy(result + (n - length), MainText, length);
    }
    return result;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}
}  // namespace

unsigned char* hexDecode(const char* input) {
    if (input == nullptr) {
        reportNullParameter("input", kSource, 3745);
        return nullptr;
    }
    size_t n = strlen(input) / 2;
    unsigned char* bytes = static_cast<unsigned char*>(allocZeroed(n + 1));
    if (bytes == nullptr) {
        reportAllocFail(kSource, 3751);
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<unsigned char>(16 * hexValue(input[2 * i]) + hexValue(input[2 * i + 1]));
    }
    return bytes;
}

void appendBounded(char* buffer, const char* text) {
    if (buffer == nullptr || text == nullptr) return;
    const size_t size = 512;
    size_t have = strnlen(buffer, size - 1);
    buffer[have] = '\0';
    copyBounded(buffer + have, size - have, text);
}

wchar_t* replaceAllWide(const wchar_t* text, const wchar_t* from, const wchar_t* to, UINT codePage) {
    char* narrowText = wideToText(text, codePage);
    char* narrowFrom = wideToText(from, codePage);
    char* narrowTo = wideToText(to, codePage);
    wchar_t* result = nullptr;
    if (narrowText != nullptr && narrowFrom != nullptr && narrowTo != nullptr) {
        char* replaced = replaceAll(narrowText, narrowFrom, narrowTo);
        result = textToWide(replaced, codePage);
        free(replaced);
    }
    free(narrowText);
    free(narrowFrom);
    free(narrowTo);
    return result;
}

bool isDisplayNameFile(const char* path) {
    static const char kSuffix[] = "DisplayName.txt";
    if (path == nullptr) return false;
    size_t length = strlen(path);
    size_t suffix = sizeof kSuffix - 1;
    return length >= suffix && strcmp(path + length - suffix, kSuffix) == 0;
}
