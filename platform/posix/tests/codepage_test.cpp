// Code-page conversions and BSTR as the system uses them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/win_base.h"

namespace {

std::wstring toWide(UINT cp, const std::string& bytes, DWORD flags = 0) {
    int n = MultiByteToWideChar(cp, flags, bytes.data(), (int)bytes.size(), (LPWSTR) nullptr, 0);
    if (n <= 0) return L"<fail>";
    std::wstring w((size_t)n, L'\0');
    EXPECT_EQ(n, MultiByteToWideChar(cp, flags, bytes.data(), (int)bytes.size(), w.data(), n));
    return w;
}

std::string toBytes(UINT cp, const std::wstring& w, BOOL* usedDefault = nullptr) {
    int n = WideCharToMultiByte(cp, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, usedDefault);
    if (n <= 0) return "<fail>";
    std::string s((size_t)n, '\0');
    EXPECT_EQ(n, WideCharToMultiByte(cp, 0, w.data(), (int)w.size(), s.data(), n, nullptr, usedDefault));
    return s;
}

struct RoundTrip {
    UINT cp;
    std::string bytes;
    std::wstring text;
};

TEST(CodePage, RoundTripsOfEachPage) {
    platform::TestRoot root;
    const RoundTrip cases[] = {
        {CP_UTF8, "abc", L"abc"},
        {CP_UTF8, "\xE4\xB8\xAD\xE6\x96\x87", L"\u4E2D\u6587"},
        {CP_UTF8, "\xF0\x9F\x98\x80", L"\U0001F600"},
        {CP_BIG5, "\xA4\xA4\xA4\xE5", L"\u4E2D\u6587"},
        {CP_ACP, "caf\xE9 \x80", L"caf\u00E9 \u20AC"},  // the default ANSI page is 1252
        {1252, "\x93q\x94", L"\u201Cq\u201D"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, toWide(c.cp, c.bytes)) << c.cp << " " << c.bytes;
        EXPECT_EQ(c.bytes, toBytes(c.cp, c.text)) << c.cp << " " << c.bytes;
    }
}

TEST(CodePage, AnsiPageFollowsTheRootSetting) {
    platform::TestRoot root;
    platform::setSetting("acp", "950");
    EXPECT_EQ(L"\u4E2D", toWide(CP_ACP, "\xA4\xA4"));
    platform::setSetting("acp", "65001");
    EXPECT_EQ(L"\u4E2D", toWide(CP_ACP, "\xE4\xB8\xAD"));
}

TEST(CodePage, InvalidInput) {
    platform::TestRoot root;
    // Strict conversion refuses bad bytes; lenient conversion marks them.
    const char bad[] = "a\xC3(";
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, (LPWSTR) nullptr, 0));
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
    EXPECT_EQ(std::wstring(L"a\uFFFD(", 3), toWide(CP_UTF8, std::string(bad, 3)));
    EXPECT_EQ(0, MultiByteToWideChar(CP_BIG5, MB_ERR_INVALID_CHARS, "\xA4", 1, (LPWSTR) nullptr, 0));
    // Overlong forms and encoded surrogates are not UTF-8.
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC0\xAF", 2, (LPWSTR) nullptr, 0));
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xED\xA0\x80", 3, (LPWSTR) nullptr, 0));
    // A lone surrogate in UTF-16 is refused when asked to.
    const OLECHAR lone[] = {u'a', 0xD800, 0};
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, nullptr, 0, nullptr, nullptr));
    // A character the page lacks becomes the default one, and the caller learns of it.
    BOOL used = FALSE;
    EXPECT_EQ("?", toBytes(1252, L"\u4E2D", &used));
    EXPECT_TRUE(used);
    // Empty input, unknown pages and bad sizes are parameter errors.
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "x", 0, (LPWSTR) nullptr, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(0, MultiByteToWideChar(12345, 0, "x", 1, (LPWSTR) nullptr, 0));
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, L"x", 1, nullptr, 0, "?", nullptr));
}

TEST(CodePage, SizesAndTerminator) {
    platform::TestRoot root;
    // -1 counts the NUL; a buffer one short fails without overrunning.
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, (LPWSTR) nullptr, 0));
    wchar_t w[4] = {L'x', L'x', L'x', L'x'};
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, w, 3));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(L'x', w[3]);
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, w, 4));
    EXPECT_STREQ(L"abc", w);
    // UTF-16 counts a character outside the BMP as two units.
    OLECHAR u[8];
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", -1, u, 8));
    EXPECT_EQ(0xD83D, u[0]);
    EXPECT_EQ(0xDE00, u[1]);
    char back[8];
    EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, u, -1, back, 8, nullptr, nullptr));
    EXPECT_STREQ("\xF0\x9F\x98\x80", back);
}

TEST(Bstr, LengthPrefixAndTerminator) {
    BSTR s = SysAllocString(u"hello");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(5u, SysStringLen(s));
    EXPECT_EQ(0, s[5]);
    SysFreeString(s);
    // Embedded NULs count; NULL text gives zeros.
    const OLECHAR withNul[] = {u'a', 0, u'b'};
    BSTR t = SysAllocStringLen(withNul, 3);
    EXPECT_EQ(3u, SysStringLen(t));
    EXPECT_EQ(u'b', t[2]);
    SysFreeString(t);
    BSTR z = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(4u, SysStringLen(z));
    EXPECT_EQ(0, z[0] | z[3] | z[4]);
    SysFreeString(z);
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    SysFreeString(nullptr);
}

}  // namespace
