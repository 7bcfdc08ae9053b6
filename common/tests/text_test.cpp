#include "common/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string take(char* text) {
    std::string copy = text != nullptr ? text : "<null>";
    free(text);
    return copy;
}

std::vector<std::string> takeList(char** list) {
    std::vector<std::string> pieces;
    for (char** at = list; *at != nullptr; ++at) pieces.emplace_back(*at);
    freeStringList(list);
    return pieces;
}

TEST(AllocZeroed, RefusesZeroAndHugeSizesAndZeroFills) {
    EXPECT_EQ(allocZeroed(0), nullptr);
    EXPECT_EQ(allocZeroed(size_t{0x80000000u}), nullptr);
    unsigned char* block = static_cast<unsigned char*>(allocZeroed(64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 0);
    free(block);
}

TEST(CopyString, CopiesAndPassesNullThrough) {
    EXPECT_EQ(copyString(nullptr), nullptr);
    EXPECT_EQ(take(copyString("")), "");
    EXPECT_EQ(take(copyString("abc")), "abc");
    EXPECT_EQ(copyWideString(nullptr), nullptr);
    wchar_t* wide = copyWideString(L"w\u00e9de");
    ASSERT_NE(wide, nullptr);
    EXPECT_STREQ(wide, L"w\u00e9de");
    free(wide);
}

TEST(CopyBounded, TruncatesAndAlwaysTerminates) {
    char buffer[4];
    memset(buffer, 'x', sizeof buffer);
    copyBounded(buffer, sizeof buffer, "abcdef");
    EXPECT_EQ(std::string(buffer, 4), std::string("abc\0", 4));

    memset(buffer, 'x', sizeof buffer);
    copyBounded(buffer, sizeof buffer, "ab");
    EXPECT_STREQ(buffer, "ab");

    copyBounded(buffer, sizeof buffer, nullptr);  // NULL source: untouched
    EXPECT_STREQ(buffer, "ab");

    char one[1] = {'x'};
    copyBounded(one, 1, "abc");
    EXPECT_EQ(one[0], '\0');
}

TEST(CopyBounded, ReadsNoFurtherThanTheBufferSize) {
    // An unterminated source longer than the buffer: only n bytes of it may be read (ASan).
    char* source = static_cast<char*>(malloc(4));
    memcpy(source, "abcd", 4);
    char buffer[4];
    copyBounded(buffer, sizeof buffer, source);
    EXPECT_STREQ(buffer, "abc");
    free(source);
}

TEST(CopyBounded, WideAndFreeingVariants) {
    char buffer[8];
    copyBoundedAndFree(buffer, sizeof buffer, copyString("secret-value"));
    EXPECT_STREQ(buffer, "secret-");

    wchar_t wide[4];
    copyBoundedW(wide, 4, L"abcdef");
    EXPECT_STREQ(wide, L"abc");
    copyBoundedWAndFree(wide, 4, copyWideString(L"xy"));
    EXPECT_STREQ(wide, L"xy");
    copyBoundedWAndFree(wide, 4, nullptr);
    EXPECT_STREQ(wide, L"xy");
}

TEST(AppendWideText, StopsAtTheBufferEnd) {
    wchar_t buffer[512];
    std::wstring start(510, L'a');
    wcscpy(buffer, start.c_str());
    appendWideText(buffer, L"bcd");
    EXPECT_EQ(wcslen(buffer), 511u);
    EXPECT_EQ(buffer[510], L'b');
    EXPECT_EQ(buffer[511], L'\0');

    wcscpy(buffer, L"ab");
    appendWideText(buffer, L"cd");
    EXPECT_STREQ(buffer, L"abcd");
    appendWideText(buffer, nullptr);
    EXPECT_STREQ(buffer, L"abcd");
}

TEST(ReplaceAll, Cases) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* replacement;
        const char* expected;
    } cases[] = {
        {"aaa", "aa", "b", "ba"},  // occurrences do not overlap
        {"abc", "abc", "", ""},       {"a.b.c", ".", ",", "a,b,c"},
        {"x", "y", "zz", "x"},        {"ab", "b", "bbbb", "abbbb"},  // growing
        {"AbAb", "ab", "-", "AbAb"},                                 // case-sensitive
        {"a b", " ", nullptr, "ab"},                                 // NULL replacement counts as ""
        {"abc", nullptr, "x", "abc"},                                // NULL pattern counts as ""
        {"abc", "", "x", "abc"},                                     // an empty pattern changes nothing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(take(replaceAll(c.text, c.pattern, c.replacement)), c.expected)
            << c.text << " / " << (c.pattern ? c.pattern : "<null>");
    }
    EXPECT_EQ(replaceAll(nullptr, "a", "b"), nullptr);
}

TEST(StripExeSuffix, RemovesEveryLowerCaseSuffix) {
    struct Case {
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {L"setup.exe", L"setup"},   {L"SETUP.EXE", L"SETUP.EXE"},
        {L"a.exe.exe", L"a"},       {L"my.exe.dir\\tool", L"my.dir\\tool"},
        {L"\u65b0.exe", L"\u65b0"},
    };
    for (const Case& c : cases) {
        wchar_t* result = stripExeSuffix(c.name);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, c.expected);
        free(result);
    }
    EXPECT_EQ(stripExeSuffix(nullptr), nullptr);
    EXPECT_EQ(stripExeSuffix(L""), nullptr);
}

TEST(StartsWith, Cases) {
    EXPECT_FALSE(startsWith("127.0.0.1:", "127.0.0.1"));
    EXPECT_TRUE(startsWith("127.0.0.1:", "127.0.0.1:56462"));
    EXPECT_TRUE(startsWith(nullptr, "x"));
    EXPECT_TRUE(startsWith("", "x"));
    EXPECT_FALSE(startsWith("x", nullptr));
    EXPECT_FALSE(startsWith("A", "a"));
}

TEST(Substring, Ranges) {
    EXPECT_EQ(take(substring("abcdef", 1, 4)), "bcd");
    EXPECT_EQ(take(substring("abcdef", 2, 2)), "");
    EXPECT_EQ(substring("abcdef", 3, 2), nullptr);
    // A range past the text's end stops at its terminator instead of reading beyond it.
    EXPECT_EQ(take(substring("abc", 1, 40)), "bc");
}

TEST(ToLowerCopy, OnlyAsciiLetters) {
    EXPECT_EQ(take(toLowerCopy("AbC-Z_\xc3\x89")), "abc-z_\xc3\x89");
    EXPECT_EQ(toLowerCopy(nullptr), nullptr);
}

TEST(SplitToArray, Cases) {
    using V = std::vector<std::string>;
    struct Case {
        const char* text;
        const char* delimiter;
        V expected;
    } cases[] = {
        {"a,b", ",", V{"a", "b"}}, {"a,,b", ",", V{"a", "", "b"}},
        {"a,", ",", V{"a", ""}},   {",a", ",", V{"", "a"}},
        {"a", ",", V{"a"}},        {"", ",", V{}},
        {nullptr, ",", V{}},       {"a,b", "", V{}},
        {"a,b", nullptr, V{}},     {"1::2::", "::", V{"1", "2", ""}},
    };
    for (const Case& c : cases) {
        char** list = splitToArray(c.text, c.delimiter);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(takeList(list), c.expected) << (c.text ? c.text : "<null>");
    }
    freeStringList(nullptr);
}

TEST(RightAlign, PadsToTheWidth) {
    EXPECT_EQ(take(rightAlign("12", 16, ' ')), std::string(14, ' ') + "12");
    EXPECT_EQ(take(rightAlign("0123456789abcdef", 16, ' ')), "0123456789abcdef");
    EXPECT_EQ(take(rightAlign("7", 2, '0')), "07");
    EXPECT_EQ(take(rightAlign("", 3, '*')), "***");
    // Longer than the width: still exactly the width, keeping the text's end.
    EXPECT_EQ(take(rightAlign("123456", 4, ' ')), "3456");
    EXPECT_EQ(rightAlign(nullptr, 4, ' '), nullptr);
}

TEST(HexDecode, DecodesPairsAndTreatsOtherCharactersAsZero) {
    unsigned char* bytes = hexDecode("0aFz1");
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 0x0A);
    EXPECT_EQ(bytes[1], 0xF0);
    EXPECT_EQ(bytes[2], 0x00);
    free(bytes);

    bytes = hexDecode("");
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 0);
    free(bytes);

    EXPECT_EQ(hexDecode(nullptr), nullptr);
}

TEST(WipeAndFree, TakesNullEmptyAndLongTexts) {
    // Callers hand over whatever a lookup gave them. The wipe cannot be seen once the block is
    // freed; what a caller sees is that the call returns, and LeakSanitizer checks the release.
    EXPECT_EXIT(
        {
            wipeAndFree(nullptr);
            wipeAndFree(copyString(""));
            wipeAndFree(copyString(std::string(5000, 's').c_str()));
            std::exit(7);
        },
        testing::ExitedWithCode(7), "");
}

TEST(AppendBounded, KeepsTheBufferTerminated) {
    char buffer[512] = "isScreenShot=";
    appendBounded(buffer, "true\n");
    EXPECT_STREQ(buffer, "isScreenShot=true\n");
    appendBounded(buffer, std::string(600, 'x').c_str());
    EXPECT_EQ(strlen(buffer), 511u);
    appendBounded(buffer, "more");
    EXPECT_EQ(strlen(buffer), 511u);
    appendBounded(buffer, nullptr);
    EXPECT_EQ(strlen(buffer), 511u);
}

TEST(ReplaceAllWide, ReplacesThroughTheCodePage) {
    wchar_t* text =
        replaceAllWide(L"Saved ==FileName== as ==FileName==", L"==FileName==", L"C:\\\x6587.png", CP_UTF8);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, L"Saved C:\\\x6587.png as C:\\\x6587.png");
    free(text);
    EXPECT_EQ(replaceAllWide(nullptr, L"a", L"b", CP_UTF8), nullptr);
}

TEST(IsDisplayNameFile, OnlyTheExactSuffix) {
    struct Case {
        const char* path;
        bool is;
    } cases[] = {{"C:\\x\\DisplayName.txt", true},   {"DisplayName.txt", true},
                 {"isplayName.txt", false},          {"C:\\x\\displayname.txt", false},
                 {"C:\\DisplayName.txt.bak", false}, {nullptr, false}};
    for (const Case& c : cases) EXPECT_EQ(isDisplayNameFile(c.path), c.is) << (c.path ? c.path : "NULL");
}

}  // namespace
