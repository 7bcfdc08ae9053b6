// Wide text at the edge of the layer: UTF-8 <-> wide, the Windows code-page conversions (65001,
// 950, the root's ANSI code page) and BSTR.
#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/posix/win_internal.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Decodes one UTF-8 sequence at s[i]; false for an invalid or cut sequence (i moves one byte).
bool decodeUtf8(const unsigned char* s, size_t n, size_t& i, char32_t& out) {
    unsigned char b = s[i];
    if (b < 0x80) {
        out = b;
        ++i;
        return true;
    }
    size_t len;
    char32_t c, min;
    if ((b & 0xE0) == 0xC0) {
        len = 2;
        c = b & 0x1F;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        c = b & 0x0F;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        c = b & 0x07;
        min = 0x10000;
    } else {
        ++i;
        return false;
    }
    if (i + len > n) {
        ++i;
        return false;
    }
    for (size_t k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || isSurrogate(c)) {
        ++i;
        return false;
    }
    i += len;
    out = c;
    return true;
}

void encodeUtf8(char32_t c, std::string& out) {
    if (c < 0x80)
        out += (char)c;
    else if (c < 0x800) {
        out += (char)(0xC0 | (c >> 6));
        out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += (char)(0xE0 | (c >> 12));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    } else {
        out += (char)(0xF0 | (c >> 18));
        out += (char)(0x80 | ((c >> 12) & 0x3F));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    }
}

// The iconv name of a Windows code page, or NULL for UTF-8 (own code) and unknown pages.
struct CodePage {
    bool valid;
    bool utf8;
    std::string iconvName;
    bool singleByte1252;
};

CodePage resolve(UINT codePage) {
    if (codePage == CP_ACP) {
        std::string acp = setting("acp", "1252");
        codePage = (UINT)std::strtoul(acp.c_str(), nullptr, 10);
        if (codePage == CP_ACP) codePage = 1252;
    }
    if (codePage == CP_UTF8) return {true, true, "", false};
    if (codePage == 950) return {true, false, "CP950", false};
    if (codePage == 1252) return {true, false, "CP1252", true};
    std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-32LE", name.c_str());
    if (cd == (iconv_t)-1) return {false, false, "", false};
    iconv_close(cd);
    return {true, false, name, false};
}

// Decodes bytes of a code page into code points; false with invalid input when strict.
bool decodeBytes(const CodePage& cp, const char* mb, size_t n, bool strict, std::u32string& out) {
    const unsigned char* s = (const unsigned char*)mb;
    if (cp.utf8) {
        size_t i = 0;
        while (i < n) {
            char32_t c;
            if (decodeUtf8(s, n, i, c))
                out += c;
            else if (strict)
                return false;
            else
                out += kReplacement;
        }
        return true;
    }
    iconv_t cd = iconv_open("UTF-32LE", cp.iconvName.c_str());
    if (cd == (iconv_t)-1) return false;
    size_t i = 0;
    bool ok = true;
    while (i < n) {
        char buf[256];
        char* in = (char*)mb + i;
        size_t inLeft = n - i;
        char* o = buf;
        size_t oLeft = sizeof buf;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        size_t got = (size_t)(o - buf) / 4;
        for (size_t k = 0; k < got; ++k) {
            uint32_t v;
            std::memcpy(&v, buf + 4 * k, 4);
            out += (char32_t)v;
        }
        i = (size_t)(in - mb);
        if (r == (size_t)-1 && errno != E2BIG) {
            // An undefined 1252 byte stands for the control character of that number, as on Windows.
            if (cp.singleByte1252)
                out += (char32_t)s[i];
            else if (strict) {
                ok = false;
                break;
            } else
                out += kReplacement;
            ++i;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return ok;
}

// Encodes code points into a code page; unmappable ones become the default character.
bool encodeBytes(const CodePage& cp, const std::u32string& text, const char* defaultChar, bool* usedDefault,
                 std::string& out) {
    if (cp.utf8) {
        for (char32_t c : text) encodeUtf8(c, out);
        return true;
    }
    iconv_t cd = iconv_open(cp.iconvName.c_str(), "UTF-32LE");
    if (cd == (iconv_t)-1) return false;
    for (char32_t c : text) {
        uint32_t v = (uint32_t)c;
        char in4[4];
        std::memcpy(in4, &v, 4);
        char* in = in4;
        size_t inLeft = 4;
        char buf[16];
        char* o = buf;
        size_t oLeft = sizeof buf;
        size_t r = isSurrogate(c) ? (size_t)-1 : iconv(cd, &in, &inLeft, &o, &oLeft);
        if (r == (size_t)-1) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out += defaultChar ? defaultChar : "?";
            if (usedDefault) *usedDefault = true;
        } else {
            out.append(buf, (size_t)(o - buf));
        }
    }
    iconv_close(cd);
    return true;
}

size_t wideLength(const wchar_t* w) {
    return std::wcslen(w);
}
size_t wideLength(const OLECHAR* w) {
    size_t n = 0;
    while (w[n]) ++n;
    return n;
}

// Reads wide units into code points; unpaired surrogates are invalid.
bool unitsToCodePoints(const wchar_t* w, size_t n, bool strict, std::u32string& out) {
    for (size_t i = 0; i < n; ++i) {
        char32_t c = (char32_t)w[i];
        if (isSurrogate(c) || c > 0x10FFFF) {
            if (strict) return false;
            c = kReplacement;
        }
        out += c;
    }
    return true;
}
bool unitsToCodePoints(const OLECHAR* w, size_t n, bool strict, std::u32string& out) {
    for (size_t i = 0; i < n; ++i) {
        char32_t c = w[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (isSurrogate(c)) {
            if (strict) return false;
            c = kReplacement;
        }
        out += c;
    }
    return true;
}

void codePointsToUnits(const std::u32string& text, std::wstring& out) {
    for (char32_t c : text) out += (wchar_t)c;
}
void codePointsToUnits(const std::u32string& text, std::u16string& out) {
    for (char32_t c : text) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out += (char16_t)(0xD800 + (c >> 10));
            out += (char16_t)(0xDC00 + (c & 0x3FF));
        } else {
            out += (char16_t)c;
        }
    }
}

template <typename Unit>
int toWide(UINT codePage, DWORD flags, LPCSTR mb, int cbMultiByte, Unit* wide, int cchWideChar) {
    if (!mb || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && !wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    CodePage cp = resolve(codePage);
    if (!cp.valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cbMultiByte == -1 ? std::strlen(mb) + 1 : (size_t)cbMultiByte;
    std::u32string points;
    if (!decodeBytes(cp, mb, n, (flags & MB_ERR_INVALID_CHARS) != 0, points)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    std::basic_string<Unit> units;
    codePointsToUnits(points, units);
    if (units.size() > (size_t)INT32_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchWideChar == 0) return (int)units.size();
    if (units.size() > (size_t)cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(wide, units.data(), units.size() * sizeof(Unit));
    return (int)units.size();
}

template <typename Unit>
int toBytes(UINT codePage, DWORD flags, const Unit* wide, int cchWideChar, LPSTR mb, int cbMultiByte,
            LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (!wide || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && !mb)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    CodePage cp = resolve(codePage);
    if (!cp.valid || (cp.utf8 && (defaultChar || usedDefaultChar))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cchWideChar == -1 ? wideLength(wide) + 1 : (size_t)cchWideChar;
    std::u32string points;
    if (!unitsToCodePoints(wide, n, cp.utf8 && (flags & WC_ERR_INVALID_CHARS), points)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    bool used = false;
    std::string bytes;
    if (!encodeBytes(cp, points, defaultChar, &used, bytes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (usedDefaultChar) *usedDefaultChar = used ? TRUE : FALSE;
    if (bytes.size() > (size_t)INT32_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cbMultiByte == 0) return (int)bytes.size();
    if (bytes.size() > (size_t)cbMultiByte) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(mb, bytes.data(), bytes.size());
    return (int)bytes.size();
}

}  // namespace

std::wstring fromUtf8(const std::string& text) {
    std::u32string points;
    decodeBytes({true, true, "", false}, text.data(), text.size(), false, points);
    std::wstring out;
    codePointsToUnits(points, out);
    return out;
}

std::string toUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t w : text) {
        char32_t c = (char32_t)w;
        encodeUtf8(isSurrogate(c) || c > 0x10FFFF ? kReplacement : c, out);
    }
    return out;
}

std::string toUtf8(const wchar_t* text) {
    return text ? toUtf8(std::wstring(text)) : std::string();
}

}  // namespace platform

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR mb, int cbMultiByte, LPWSTR wide,
                        int cchWideChar) {
    return platform::toWide(codePage, flags, mb, cbMultiByte, wide, cchWideChar);
}
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR mb, int cbMultiByte, OLECHAR* wide,
                        int cchWideChar) {
    return platform::toWide(codePage, flags, mb, cbMultiByte, wide, cchWideChar);
}
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWideChar, LPSTR mb, int cbMultiByte,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    return platform::toBytes(codePage, flags, wide, cchWideChar, mb, cbMultiByte, defaultChar,
                             usedDefaultChar);
}
int WideCharToMultiByte(UINT codePage, DWORD flags, const OLECHAR* wide, int cchWideChar, LPSTR mb,
                        int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    return platform::toBytes(codePage, flags, wide, cchWideChar, mb, cbMultiByte, defaultChar,
                             usedDefaultChar);
}

// A BSTR is preceded by its length in bytes and ends with a NUL unit that the length leaves out.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > (UINT)(INT32_MAX / 2 - 8)) return nullptr;
    size_t bytes = (size_t)length * sizeof(OLECHAR);
    char* block = (char*)std::calloc(1, sizeof(uint32_t) + bytes + sizeof(OLECHAR));
    if (!block) return nullptr;
    uint32_t len = (uint32_t)bytes;
    std::memcpy(block, &len, sizeof len);
    BSTR s = (BSTR)(block + sizeof(uint32_t));
    if (text) std::memcpy(s, text, bytes);
    return s;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    UINT n = 0;
    while (text[n]) ++n;
    return SysAllocStringLen(text, n);
}

void SysFreeString(BSTR text) {
    if (text) std::free((char*)text - sizeof(uint32_t));
}

UINT SysStringLen(BSTR text) {
    if (!text) return 0;
    uint32_t len;
    std::memcpy(&len, (char*)text - sizeof(uint32_t), sizeof len);
    return len / sizeof(OLECHAR);
}
