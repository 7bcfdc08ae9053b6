// Base64, the JSON unescaper and the character-set conversions.
#include "common/codec.h"

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/log.h"
#include "common/text.h"

namespace {
const char* const kSource = "Tool";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kOutside = 64;

// Byte value to its Base64 value; 64 marks every byte outside the alphabet ("=" and NUL too).
constexpr std::array<unsigned char, 256> makeDecodeTable() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table) entry = kOutside;
    for (unsigned char i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr std::array<unsigned char, 256> kDecodeTable = makeDecodeTable();

unsigned char valueOf(char c) {
    return kDecodeTable[static_cast<unsigned char>(c)];
}

size_t alphabetPrefixLength(const char* source) {
    size_t n = 0;
    while (valueOf(source[n]) != kOutside) ++n;
    return n;
}

size_t decodedSizeFor(size_t n) {
    return (n + 3) / 4 * 3 - (4 - n % 4) % 4;
}

// One replacement step of a chain: the previous text is wiped and freed, since it may have held
// a request body or a secret value.
char* replaceStep(char* text, const char* pattern, const char* replacement) {
    if (text == nullptr) return nullptr;
    char* next = replaceAll(text, pattern, replacement);
    wipeAndFree(text);
    return next;
}
}  // namespace

size_t base64EncodeInto(char* destination, const unsigned char* source, size_t length) {
    if (destination == nullptr) return 0;
    char* out = destination;
    size_t i = 0;
    if (source != nullptr) {
        for (; length >= 3 && i < length - 2; i += 3) {
            *out++ = kAlphabet[source[i] >> 2];
            *out++ = kAlphabet[((source[i] & 0x03) << 4) | (source[i + 1] >> 4)];
            *out++ = kAlphabet[((source[i + 1] & 0x0F) << 2) | (source[i + 2] >> 6)];
            *out++ = kAlphabet[source[i + 2] & 0x3F];
        }
        if (length - i == 1) {
            *out++ = kAlphabet[source[i] >> 2];
            *out++ = kAlphabet[(source[i] & 0x03) << 4];
            *out++ = '=';
            *out++ = '=';
        } else if (length - i == 2) {
            *out++ = kAlphabet[source[i] >> 2];
            *out++ = kAlphabet[((source[i] & 0x03) << 4) | (source[i + 1] >> 4)];
            *out++ = kAlphabet[(source[i + 1] & 0x0F) << 2];
            *out++ = '=';
        }
    }
    *out++ = '\0';
    return static_cast<size_t>(out - destination);
}

char* base64Encode(const char* input) {
    if (input == nullptr) {
        reportNullParameter("input", kSource, 753);
        return nullptr;
    }
    size_t length = strlen(input);
    if (length > (static_cast<size_t>(INT_MAX) - 2) / 4 * 3 - 2) {
        reportAllocFail(kSource, 756);
        return nullptr;
    }
    char* text = static_cast<char*>(allocZeroed((length + 2) / 3 * 4 + 2));
    if (text == nullptr) {
        reportAllocFail(kSource, 756);
        return nullptr;
    }
    base64EncodeInto(text, reinterpret_cast<const unsigned char*>(input), length);
    return text;
}

size_t base64DecodedSize(const char* source) {
    if (source == nullptr) return 0;
    return decodedSizeFor(alphabetPrefixLength(source));
}

size_t base64DecodeInto(unsigned char* destination, const char* source) {
    if (destination == nullptr) return 0;
    if (source == nullptr) {
        destination[0] = 0;
        return 0;
    }
    size_t n = alphabetPrefixLength(source);
    unsigned char* out = destination;
    const char* in = source;
    size_t remaining = n;
    for (; remaining > 4; remaining -= 4, in += 4) {
        *out++ = static_cast<unsigned char>((valueOf(in[0]) << 2) | (valueOf(in[1]) >> 4));
        *out++ = static_cast<unsigned char>((valueOf(in[1]) << 4) | (valueOf(in[2]) >> 2));
        *out++ = static_cast<unsigned char>((valueOf(in[2]) << 6) | valueOf(in[3]));
    }
    if (remaining >= 2) *out++ = static_cast<unsigned char>((valueOf(in[0]) << 2) | (valueOf(in[1]) >> 4));
    if (remaining >= 3) *out++ = static_cast<unsigned char>((valueOf(in[1]) << 4) | (valueOf(in[2]) >> 2));
    if (remaining >= 4) *out++ = static_cast<unsigned char>((valueOf(in[2]) << 6) | valueOf(in[3]));
    *out = 0;
    return static_cast<size_t>(out - destination);
}

char* urlBase64Decode(const char* input) {
    if (input == nullptr) return nullptr;
    // The three escapes in one pass over one copy: none can arise from replacing another.
    char* text = copyString(input);
    if (text != nullptr) {
        char* out = text;
        for (const char* in = text; *in != '\0';) {
            if (in[0] == '%' &&
                ((in[1] == '2' && (in[2] == 'B' || in[2] == 'F')) || (in[1] == '3' && in[2] == 'D'))) {
                *out++ = in[2] == 'B' ? '+' : in[2] == 'F' ? '/' : '=';
                in += 3;
            } else {
                *out++ = *in++;
            }
        }
        wipeBytes(out, strlen(out));
    }
    if (text == nullptr) {
        reportAllocFail(kSource, 834);
        return nullptr;
    }
    size_t n = alphabetPrefixLength(text);
    unsigned char* bytes = static_cast<unsigned char*>(allocZeroed((n + 3) / 4 * 3 + 2));
    if (bytes == nullptr) {
        reportAllocFail(kSource, 834);
        wipeAndFree(text);
        return nullptr;
    }
    base64DecodeInto(bytes, text);
    wipeAndFree(text);
    return reinterpret_cast<char*>(bytes);
}

char* unescapeJsonText(const char* inputData) {
    if (inputData == nullptr) {
        reportNullParameter("inputData", kSource, 772);
        return nullptr;
    }
    // Order matters and is kept: an escaped backslash before r, n or t is not protected.
    static const char* const kSteps[][2] = {
        {"\\r", "\r"},       {"\\n", "\n"},       {"\\t", "\t"},  {"\\u000f", "\x0f"},
        {"\\u000e", "\x0e"}, {"\\u001b", "\x1b"}, {"\\\"", "\""},
    };
    char* text = copyString(inputData);
    // Every escape starts with a backslash: without one the copy is the answer.
    if (text == nullptr || strchr(text, '\\') == nullptr) return text;
    for (const auto& step : kSteps) text = replaceStep(text, step[0], step[1]);
    return text;
}

BSTR textToBstr(const char* text, int length, UINT codePage) {
    if (text == nullptr) return nullptr;
    if (length < 0) {
        size_t full = strlen(text);
        if (full > static_cast<size_t>(INT_MAX)) return nullptr;
        length = static_cast<int>(full);
    }
    if (length == 0) return SysAllocStringLen(nullptr, 0);
    int units = MultiByteToWideChar(codePage, 0, text, length, static_cast<OLECHAR*>(nullptr), 0);
    if (units <= 0) return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(units));
    if (result == nullptr) return nullptr;
    if (MultiByteToWideChar(codePage, 0, text, length, result, units) <= 0) {
        SysFreeString(result);
        return nullptr;
    }
    result[units] = 0;
    return result;
}

_bstr_t utf8ToBstr(const char* text, UINT codePage) {
    if (text == nullptr) return _bstr_t();
    size_t length = strlen(text);
    if (length > static_cast<size_t>(INT_MAX)) return _bstr_t();
    BSTR converted = textToBstr(text, static_cast<int>(length), codePage);
    if (converted == nullptr) return _bstr_t();
    return _bstr_t(converted, false);
}

char* bstrToUtf8(_bstr_t holder, UINT codePage) {
    BSTR text = holder.GetBSTR();
    if (text == nullptr) return nullptr;
    UINT units = SysStringLen(text);
    if (units == 0 || units > static_cast<UINT>(INT_MAX)) return nullptr;
    int bytes = WideCharToMultiByte(codePage, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* result = static_cast<char*>(calloc(static_cast<size_t>(bytes) + 1, 1));
    if (result == nullptr) return nullptr;
    if (WideCharToMultiByte(codePage, 0, text, static_cast<int>(units), result, bytes, nullptr, nullptr) <=
        0) {
        free(result);
        return nullptr;
    }
    return result;
}

char* wideToText(const wchar_t* text, UINT codePage) {
    if (text == nullptr) return nullptr;
    size_t length = wcslen(text);
    if (length == 0) return static_cast<char*>(calloc(1, 1));
    if (length > static_cast<size_t>(INT_MAX)) return nullptr;
    int bytes = WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return nullptr;
    char* result = static_cast<char*>(allocZeroed(static_cast<size_t>(bytes) + 1));
    if (result == nullptr) return nullptr;
    if (WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), result, bytes, nullptr, nullptr) <=
        0) {
        free(result);
        return nullptr;
    }
    return result;
}

wchar_t* textToWide(const char* text, UINT codePage) {
    if (text == nullptr) return nullptr;
    size_t length = strlen(text);
    if (length == 0) return static_cast<wchar_t*>(calloc(1, sizeof(wchar_t)));
    if (length > static_cast<size_t>(INT_MAX)) return nullptr;
    int chars =
        MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), static_cast<LPWSTR>(nullptr), 0);
    if (chars <= 0) return nullptr;
    wchar_t* result = static_cast<wchar_t*>(allocZeroed((static_cast<size_t>(chars) + 1) * sizeof(wchar_t)));
    if (result == nullptr) return nullptr;
    if (MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), result, chars) <= 0) {
        free(result);
        return nullptr;
    }
    return result;
}

char* wideToUtf8(const wchar_t* text) {
    return wideToText(text, CP_UTF8);
}

wchar_t* utf8ToWide(const char* text) {
    return textToWide(text, CP_UTF8);
}
