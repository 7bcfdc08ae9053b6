#include "common/allowlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// Install list on a cleared state and test origin, as the value store does for each read.
bool admitted(const char* list, const char* origin) {
    urlCheckList.clear();
    urlUnlocked = 0;
    setUnlockURL(list);
    unlock(origin);
    return urlUnlocked != 0;
}

}  // namespace

TEST(AllowList, MatchesOriginsAgainstDomainPatterns) {
    struct Case {
        const char* list;
        const char* origin;
        bool expected;
    } cases[] = {
        // A leading point: every host ending in it, in any case, not the domain itself.
        {".example.test", "https://www.example.test", true},
        {".example.test", "https://A.B.Example.TEST", true},
        {".example.test", "https://example.test", false},
        {".example.test", "https://badexample.test", false},
        {".example.test", "https://www.example.test.evil", false},
        // A full host name matches that host only.
        {"www.example.test", "https://www.example.test", true},
        {"www.example.test", "http://WWW.EXAMPLE.TEST", true},
        {"www.example.test", "https://api.example.test", false},
        {"www.example.test", "https://wwwxexample.test", false},  // the point is literal
        {"*.example.test", "https://www.example.test", true},
        // A trailing point: every host beginning with it.
        {"intranet.", "https://intranet.corp.test", true},
        {"intranet.", "https://intranetx.test", false},
        {"*", "https://anything.at.all", true},
        {"*", "http://10.0.0.1", true},
        // Blanks around entries, empty entries, several entries.
        {" \twww.example.test \r\n;  ;other.test ", "https://other.test", true},
        {" \twww.example.test \r\n;  ;other.test ", "https://www.example.test", true},
        {" \twww.example.test \r\n;  ;other.test ", "https://third.test", false},
        {"a.test;b.test", "https://b.test", true},
        // Ports and a trailing slash are not part of the host.
        {"www.example.test", "https://www.example.test:8443", true},
        {"www.example.test", "https://www.example.test/", true},
        {"www.example.test", "https://www.example.test/:8443", true},
        {"www.example.test/", "https://www.example.test", true},
        {"127.0.0.1", "http://127.0.0.1:56462", true},
        // A capital scheme passes the URL check but is not removed, so only the scheme word is
        // left to match.
        {"*", "HTTPS://www.example.test", true},
        {".example.test", "HTTPS://www.example.test", false},
        {"https", "HTTPS://www.other.test", true},
        // Entries are host names: other regular-expression syntax is taken literally.
        {"(a+)+b", "https://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac", false},
        {"a+b.test", "https://aab.test", false},
        {"[x", "https://x.test", false},
        {"www.example.test|*", "https://evil.test", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(admitted(c.list, c.origin), c.expected) << "\"" << c.list << "\" " << c.origin;
    }
}

TEST(AllowList, NonUrlOriginsLeaveTheFlagAsItWas) {
    const char* notUrls[] = {
        "ftp://www.example.test",
        "www.example.test",
        "https://",
        "https://exa mple.test",
        "",
        "null",
        "https://www.example.test:port",
        "https://-bad.test",
        "https://www.example.test/path",
        "file:///c:/x",
    };
    for (const char* origin : notUrls) {
        EXPECT_FALSE(admitted("*", origin)) << origin;
        urlUnlocked = 1;
        unlock(origin);
        EXPECT_EQ(urlUnlocked, 1) << origin;
    }
    EXPECT_FALSE(admitted("*", nullptr));
    // Hostile lengths are refused, not matched.
    std::string longOrigin = "https://" + std::string(100000, 'a') + ".test";
    EXPECT_FALSE(admitted("*", longOrigin.c_str()));
    std::string manyLabels = "https://";
    for (int i = 0; i < 20000; ++i) manyLabels += "a.";
    manyLabels += "test";
    EXPECT_FALSE(admitted("*", manyLabels.c_str()));
}

TEST(AllowList, InstallsAndKeepsStateAsTheCallerExpects) {
    // An empty text changes nothing at all.
    ASSERT_TRUE(admitted("www.example.test", "https://www.example.test"));
    setUnlockURL("");
    setUnlockURL(nullptr);
    EXPECT_EQ(urlUnlocked, 1);
    EXPECT_EQ(urlCheckList.size(), 1u);

    // Only separators: an empty list and a cleared flag; nothing is admitted afterwards.
    setUnlockURL(";;");
    EXPECT_EQ(urlUnlocked, 0);
    EXPECT_TRUE(urlCheckList.empty());
    unlock("https://www.example.test");
    EXPECT_EQ(urlUnlocked, 0);

    // A failed match never clears the flag, and a set flag is not tested again.
    ASSERT_TRUE(admitted("www.example.test", "https://www.example.test"));
    unlock("https://other.test");
    EXPECT_EQ(urlUnlocked, 1);

    // The list holds the patterns: "*" as a run of non-blank characters, points literal.
    setUnlockURL(" .example.test ;host.;**.b");
    EXPECT_EQ(urlCheckList, (std::vector<std::string>{"\\S*\\.example\\.test", "host\\.\\S*", "\\S*\\.b"}));
}

namespace {

// The installed list against a host as it is, blanks and all.
bool hostMatches(const char* list, const std::string& host) {
    urlCheckList.clear();
    setUnlockURL(list);
    return hostMatchesList(urlCheckList, host);
}

// "https://" and points and labels of "a" up to exactly 512 characters, ending in last.
std::string longOrigin(char last) {
    std::string origin = "https://";
    while (origin.size() < 512) {
        size_t label = std::min<size_t>(63, 512 - origin.size());
        origin += std::string(label, 'a');
        if (origin.size() < 511) origin += '.';
    }
    origin.back() = last;
    return origin;
}

}  // namespace

TEST(AllowList, PinsThePatternLanguage) {
    struct Case {
        const char* list;
        std::string host;
        bool expected;
    } cases[] = {
        // A star is a run of non-blank characters, the empty run included.
        {"a*b", "axyz.-/b", true},
        {"a*b", "ab", true},
        {"a*b", "a b", false},
        {"a*b", "a\tb", false},
        {"a*b", "ax\r\nb", false},
        {"*", "", true},
        {"*", " ", false},
        {"a b", "a b", true},  // a blank inside an entry is literal
        {"a b", "axb", false},
        // Letters in any case; bytes beyond ASCII as they are.
        {"WWW.Example.TEST", "www.EXAMPLE.test", true},
        {"\xC3\x84.test", "\xC3\xA4.test", false},
        {"\xC3\x84.test", "\xC3\x84.TEST", true},
        // One "/" may follow every entry; a final "/" of the entry is that one.
        {"a.test", "a.test/", true},
        {"a.test", "a.test//", false},
        {"a.test/", "a.test", true},
        {"a.test/", "a.test/", true},
        {"a.test//", "a.test/", true},
        {"a.test//", "a.test//", true},
        {"a.test//", "a.test", false},
        {"*/", "x", true},
        {"/", "", true},
        // A leading point means a star before it, a trailing point one after it.
        {".b.test", "a.b.test", true},
        {".b.test", ".b.test", true},
        {".b.test", "b.test", false},
        {"intra.", "intra.", true},
        {"intra.", "intra.x.y", true},
        {"intra.", "intra", false},
        // The whole host, for any one entry.
        {"b.test", "ab.test", false},
        {"b.test", "b.testx", false},
        {"x;y;*.b", "q.b", true},
        {"x;y;*.b", "q.c", false},
        // Signs other than the star are literal.
        {"a\\*", "a\\xyz", true},
        {"a\\S", "a\\S", true},
        {"a\\S", "aS", false},
        {"(a|b)", "(a|b)", true},
        {"(a|b)", "a", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hostMatches(c.list, c.host), c.expected) << "\"" << c.list << "\" \"" << c.host << "\"";
    }

    // The host is what is left of the origin once the scheme and everything from a colon are gone.
    EXPECT_EQ(hostOfOrigin("https://a.test:8443"), "a.test");
    EXPECT_EQ(hostOfOrigin("http://a.test/:1"), "a.test/");
    EXPECT_EQ(hostOfOrigin("HTTPS://a.test"), "HTTPS");
    EXPECT_EQ(hostOfOrigin("x:1\ry:2\nz"), "x\ry\nz");
}

TEST(AllowList, ManyStarsAgainstLongOriginsAnswerAtOnce) {
    const std::string allA = longOrigin('a');
    const std::string endsInC = longOrigin('c');
    ASSERT_EQ(allA.size(), 512u);
    std::string hundredStars;
    for (int i = 0; i < 100; ++i) hundredStars += "*a";
    struct Case {
        std::string list;
        const std::string& origin;
        bool expected;
    } cases[] = {
        {"*a*a*a*a*c", allA, false},
        {"*a*a*a*a*c", endsInC, true},
        {hundredStars + "*c", allA, false},
        {hundredStars + "*c", endsInC, true},
        {hundredStars + "*.*c", endsInC, true},
        {"*a*a*a*a*a*a*a*a*b;*a.*a.*a.*a.*a.*a.*a.*a.*a.*b;" + hundredStars + "*c", endsInC, true},
        {"*a*a*a*a*a*a*a*a*b;*a.*a.*a.*a.*a.*a.*a.*a.*a.*b", allA, false},
        {std::string(600, 'a'), allA, false},  // more letters than the host holds
    };
    for (const Case& c : cases) {
        EXPECT_EQ(admitted(c.list.c_str(), c.origin.c_str()), c.expected) << c.list;
    }
}
