#include "common/codec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"

namespace {

std::string take(char* text) {
    std::string copy = text != nullptr ? text : "<null>";
    free(text);
    return copy;
}

// A BSTR's UTF-16 units (OLECHAR is char16_t in the Linux build, a 16-bit wchar_t on Windows).
std::u16string units(BSTR text) {
    return std::u16string(text, text + SysStringLen(text));
}
const OLECHAR* ole(const char16_t* text) {
    return reinterpret_cast<const OLECHAR*>(text);
}
std::u16string units(const _bstr_t& holder) {
    return units(holder.GetBSTR());
}

TEST(Base64Encode, PadsToGroupsOfFour) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"", ""},        {"0", "MA=="},        {"ab", "YWI="},
        {"abc", "YWJj"}, {"abcd", "YWJjZA=="}, {"\xff\xfe\xfd", "//79"},
    };
    for (const Case& c : cases) EXPECT_EQ(take(base64Encode(c.input)), c.expected) << c.input;
    EXPECT_EQ(base64Encode(nullptr), nullptr);
}

TEST(Base64EncodeInto, EncodesBinaryAndCountsTheTerminator) {
    const unsigned char bytes[] = {0x00, 0xFB, 0xFF, 0x00};
    char text[16];
    memset(text, 'x', sizeof text);
    EXPECT_EQ(base64EncodeInto(text, bytes, sizeof bytes), 9u);
    EXPECT_STREQ(text, "APv/AA==");
    EXPECT_EQ(base64EncodeInto(text, bytes, 0), 1u);
    EXPECT_STREQ(text, "");
}

TEST(Base64DecodeInto, StopsAtTheFirstByteOutsideTheAlphabet) {
    struct Case {
        const char* text;
        const char* expected;
        size_t count;
    } cases[] = {
        {"YWJj", "abc", 3},
        {"YWI=", "ab", 2},
        {"YWI", "ab", 2},
        {"YQ", "a", 1},
        {"Y", "", 0},
        {"", "", 0},
        {"YWJj ZGVm", "abc", 3},
        {"YWJjZGVm", "abcdef", 6},
        {"YWJjZA", "abcd", 4},
        {"YWJj\nZGVm", "abc", 3},
        {"YW-J", "a", 1},
        {"=YWJj", "", 0},
    };
    for (const Case& c : cases) {
        unsigned char out[32];
        memset(out, 0xAA, sizeof out);
        EXPECT_EQ(base64DecodedSize(c.text), c.count) << c.text;
        ASSERT_EQ(base64DecodeInto(out, c.text), c.count) << c.text;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), c.count), c.expected) << c.text;
        EXPECT_EQ(out[c.count], 0) << c.text;
    }
}

TEST(Base64, RoundTripsEveryByteValue) {
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(255 - i);
    for (size_t length : {1u, 2u, 3u, 4u, 255u, 256u}) {
        char text[400];
        base64EncodeInto(text, bytes, length);
        unsigned char back[300];
        ASSERT_EQ(base64DecodeInto(back, text), length);
        EXPECT_EQ(memcmp(back, bytes, length), 0) << length;
    }
}

TEST(UrlBase64Decode, UndoesUpperCasePercentEscapesOnly) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"YWI%3D", "ab"},
        {"YWI=", "ab"},
        {"Pz8%2F", "??\?"},  // "Pz8/"
        {"%2B%2B%2B%2B", "\xfb\xef\xbe"},
        {"YW%3dI", "a"},  // lower case is not an escape: decoding ends at the "%"
        {"", ""},
        {"!!!", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(take(urlBase64Decode(c.text)), c.expected) << c.text;
    EXPECT_EQ(urlBase64Decode(nullptr), nullptr);
}

TEST(UrlBase64Decode, DecodesAServiceRequestBody) {
    const char* json = "{\"Function\":\"GetVersion\",\"Text\":\"a+b/c=\"}";
    char* encoded = base64Encode(json);
    ASSERT_NE(encoded, nullptr);
    char* escaped = replaceAll(encoded, "=", "%3D");
    char* escaped2 = replaceAll(escaped, "+", "%2B");
    char* escaped3 = replaceAll(escaped2, "/", "%2F");
    EXPECT_EQ(take(urlBase64Decode(escaped3)), json);
    free(encoded);
    free(escaped);
    free(escaped2);
    free(escaped3);
}

TEST(UnescapeJsonText, UndoesOnlyTheListedEscapes) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"a\\nb", "a\nb"},
        {"\\r\\n\\t", "\r\n\t"},
        {"\\u000f\\u000e\\u001b", "\x0f\x0e\x1b"},
        {"say \\\"hi\\\"", "say \"hi\""},
        {"a\\/b", "a\\/b"},  // escaped slash stays
        {"\\b\\f\\u0041", "\\b\\f\\u0041"},
        {"\\\\n", "\\\n"},  // escaped backslash then n: the n escape wins
        {"\\\\", "\\\\"},
        {"plain", "plain"},
        {"", ""},
        {"\\", "\\"},
    };
    for (const Case& c : cases) EXPECT_EQ(take(unescapeJsonText(c.text)), c.expected) << c.text;
    EXPECT_EQ(unescapeJsonText(nullptr), nullptr);
}

TEST(TextToBstr, ConvertsUtf8ToUtf16) {
    BSTR text = textToBstr("a\xc3\xa9\xe6\x96\xb0\xf0\x9f\x98\x80", 10);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(units(text), u"a\u00e9\u65b0\U0001F600");
    EXPECT_EQ(text[SysStringLen(text)], 0);
    SysFreeString(text);

    text = textToBstr("abcdef", 3);  // only the given bytes
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(units(text), u"abc");
    SysFreeString(text);

    text = textToBstr("", 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 0u);
    SysFreeString(text);

    EXPECT_EQ(textToBstr(nullptr, 3), nullptr);
}

TEST(TextToBstr, Big5CodePage) {
    // U+65B0 is B773 in Big5.
    BSTR text = textToBstr("\xb7\x73", 2, CP_BIG5);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(units(text), u"\u65b0");
    char* back = bstrToUtf8(_bstr_t(text, false), CP_BIG5);
    EXPECT_EQ(take(back), "\xb7\x73");
}

TEST(TextToBstr, InvalidUtf8IsMarkedWithinTheInput) {
    // The conversion is lenient: each bad byte becomes U+FFFD, nothing is read beyond the length.
    struct Case {
        const char* bytes;
        int length;
        std::u16string expected;
    };
    const Case cases[] = {
        {"a\xff\xc3", 3, u"a\ufffd\ufffd"},        // a stray byte, then a lead byte cut off at the end
        {"a\xc3(", 3, u"a\ufffd("},                // a lead byte without its continuation
        {"\xc3\xa9\xc3\xa9", 3, u"\u00e9\ufffd"},  // the length cuts the second character
    };
    for (const auto& c : cases) {
        BSTR text = textToBstr(c.bytes, c.length);
        ASSERT_NE(text, nullptr) << c.bytes;
        EXPECT_EQ(units(text), c.expected) << c.bytes;
        SysFreeString(text);
    }
}

TEST(Utf8ToBstr, HoldsTheConvertedText) {
    _bstr_t holder = utf8ToBstr("h\xc3\xa9llo");
    ASSERT_FALSE(holder.empty());
    EXPECT_EQ(units(holder.GetBSTR()), u"h\u00e9llo");
    EXPECT_EQ(holder.length(), 5u);
    EXPECT_EQ(holder.refCount(), 1u);

    EXPECT_TRUE(utf8ToBstr(nullptr).empty());
    _bstr_t empty = utf8ToBstr("");
    ASSERT_FALSE(empty.empty());
    EXPECT_EQ(empty.length(), 0u);
}

TEST(BstrToUtf8, ConvertsBackAndGivesNullForEmpty) {
    EXPECT_EQ(take(bstrToUtf8(utf8ToBstr("\xe6\x96\xb0 \xf0\x9f\x98\x80"))), "\xe6\x96\xb0 \xf0\x9f\x98\x80");
    EXPECT_EQ(bstrToUtf8(utf8ToBstr("")), nullptr);
    EXPECT_EQ(bstrToUtf8(_bstr_t()), nullptr);
}

TEST(BstrToUtf8, ReleasesOnlyTheReferenceItTook) {
    _bstr_t holder = utf8ToBstr("abc");
    EXPECT_EQ(take(bstrToUtf8(holder)), "abc");
    EXPECT_EQ(holder.refCount(), 1u);
    EXPECT_EQ(units(holder.GetBSTR()), u"abc");
}

TEST(WideUtf8, RoundTripsAndRefusesNull) {
    const wchar_t* wide = L"x\u00e9\u65b0\U0001F600";
    char* utf8 = wideToUtf8(wide);
    ASSERT_NE(utf8, nullptr);
    EXPECT_STREQ(utf8, "x\xc3\xa9\xe6\x96\xb0\xf0\x9f\x98\x80");
    wchar_t* back = utf8ToWide(utf8);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, wide);
    free(utf8);
    free(back);

    EXPECT_EQ(take(wideToUtf8(L"")), "");
    wchar_t* empty = utf8ToWide("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], L'\0');
    free(empty);
    EXPECT_EQ(wideToUtf8(nullptr), nullptr);
    EXPECT_EQ(utf8ToWide(nullptr), nullptr);
}

}  // namespace

namespace {

TEST(BstrHolder, SharesOneStringAmongCopies) {
    BSTR original = SysAllocString(ole(u"shared"));
    _bstr_t first(original, false);  // taken over, not copied
    EXPECT_EQ(first.GetBSTR(), original);
    {
        _bstr_t second = first;
        EXPECT_EQ(second.GetBSTR(), original);
        EXPECT_EQ(first.refCount(), 2u);
        _bstr_t third;
        third = second;
        EXPECT_EQ(first.refCount(), 3u);
    }
    EXPECT_EQ(first.refCount(), 1u);

    _bstr_t copied(original, true);  // its own string
    EXPECT_NE(copied.GetBSTR(), original);
    EXPECT_EQ(units(copied), u"shared");

    BSTR detached = first.Detach();
    EXPECT_EQ(detached, original);
    EXPECT_TRUE(first.empty());
    SysFreeString(detached);

    // An output argument: the old string is released and the new one owned by the holder.
    BSTR* out = copied.GetAddress();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(*out, nullptr);
    *out = SysAllocString(ole(u"result"));
    EXPECT_EQ(units(copied), u"result");
}

TEST(BstrHolder, WideAndNarrowForms) {
    _bstr_t wide(L"a\u00e9\U0001F600");
    EXPECT_EQ(wide.length(), 4u);  // the emoji is a surrogate pair
    EXPECT_EQ(units(wide), u"a\u00e9\U0001F600");
    EXPECT_STREQ(static_cast<const wchar_t*>(wide), L"a\u00e9\U0001F600");

    // A lone surrogate: a 32-bit wide string cannot hold it and takes U+FFFD instead; Windows'
    // 16-bit wide form is the very same units.
    _bstr_t lone(SysAllocString(ole(u"\xd800x")), false);
#ifdef _WIN32
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(lone)), std::wstring({wchar_t(0xd800), L'x'}));
#else
    EXPECT_STREQ(static_cast<const wchar_t*>(lone), L"\ufffdx");
#endif

    _bstr_t narrow("plain");
    EXPECT_EQ(units(narrow), u"plain");
    EXPECT_STREQ(static_cast<const char*>(narrow), "plain");
    // The narrow form is the ANSI code page's (1252 on this machine), not UTF-8.
    _bstr_t ansi("caf\xe9");
    EXPECT_EQ(units(ansi), u"caf\u00e9");
    EXPECT_STREQ(static_cast<const char*>(ansi), "caf\xe9");

    _bstr_t none;
    EXPECT_EQ(static_cast<const char*>(none), nullptr);
    EXPECT_EQ(static_cast<const wchar_t*>(none), nullptr);
    EXPECT_EQ(none.length(), 0u);
    EXPECT_TRUE(!none);
    EXPECT_TRUE(_bstr_t(static_cast<const char*>(nullptr)).empty());
}

TEST(BstrHolder, CopiesFromSeveralThreadsKeepTheCount) {
    _bstr_t shared = utf8ToBstr("shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([shared] {
            for (int i = 0; i < 2000; ++i) {
                _bstr_t copy = shared;
                char* text = bstrToUtf8(copy);
                free(text);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.refCount(), 1u);
    EXPECT_EQ(units(shared), u"shared");
}

}  // namespace
