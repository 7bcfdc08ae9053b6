// The origin allow-list's matcher held against plain references on arbitrary lists and origins:
// a memoised recursive matcher of the same language, and, where the input is small enough for
// its backtracking, the regular expression the list was matched with before. Input: the list
// text, a NUL, then the origin.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "common/allowlist.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Pattern text in its written form against text[at..], whole; memo holds 0 unknown, 1 no, 2 yes.
bool plainMatch(const std::string& p, size_t i, const std::string& text, size_t at, std::vector<char>& memo) {
    char& known = memo[i * (text.size() + 1) + at];
    if (known != 0) return known == 2;
    bool result;
    if (i == p.size()) {
        result = at == text.size();
    } else if (p.compare(i, 3, "\\S*") == 0) {
        result = plainMatch(p, i + 3, text, at, memo) ||
                 (at < text.size() && !blank(text[at]) && plainMatch(p, i, text, at + 1, memo));
    } else {
        size_t literal = p[i] == '\\' && i + 1 < p.size() ? i + 1 : i;
        result = at < text.size() && lower(p[literal]) == lower(text[at]) &&
                 plainMatch(p, literal + 1, text, at + 1, memo);
    }
    known = result ? 2 : 1;
    return result;
}

bool plainListMatch(const std::vector<std::string>& list, const std::string& host) {
    std::vector<std::string> texts{host};
    if (!host.empty() && host.back() == '/') texts.push_back(host.substr(0, host.size() - 1));
    for (std::string p : list) {
        if (!p.empty() && p.back() == '/') p.pop_back();
        for (const std::string& text : texts) {
            std::vector<char> memo((p.size() + 1) * (text.size() + 1), 0);
            if (plainMatch(p, 0, text, 0, memo)) return true;
        }
    }
    return false;
}

// The host and the match exactly as they were computed with the standard library's regular
// expressions.
std::string regexHost(const std::string& origin) {
    static const std::regex scheme("https?:\\/\\/");
    static const std::regex fromColon(":.*");
    return std::regex_replace(std::regex_replace(origin, scheme, ""), fromColon, "");
}

bool regexListMatch(const std::vector<std::string>& list, const std::string& host) {
    std::string alternation;
    for (const std::string& entry : list) {
        std::string part = "(" + entry;
        if (part.back() == '/') part.pop_back();
        alternation += part + "\\/?)|";
    }
    alternation.pop_back();
    return std::regex_match(host, std::regex(alternation, std::regex::ECMAScript | std::regex::icase));
}

// Small enough that backtracking over the stars stays within a few million steps.
bool smallForRegex(const std::vector<std::string>& list, const std::string& host) {
    if (host.size() > 24) return false;
    size_t stars = 0, length = 0;
    for (const std::string& p : list) {
        length += p.size();
        for (size_t at = p.find("\\S*"); at != std::string::npos; at = p.find("\\S*", at + 1)) ++stars;
    }
    return stars <= 6 && length <= 200;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Longer inputs find nothing new and make the references slow.
    if (size > 1024) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nul = input.find('\0');
    std::string listText = input.substr(0, nul);
    std::string origin = nul == std::string::npos ? "" : input.substr(nul + 1);
    origin = origin.substr(0, origin.find('\0'));
    if (listText.empty()) return 0;

    urlCheckList.clear();
    setUnlockURL(listText.c_str());
    const std::vector<std::string> list = urlCheckList;

    std::string host = hostOfOrigin(origin.c_str());
    if (host != regexHost(origin)) abort();

    // The origin both as the host it gives and as a host of its own, blanks and all.
    for (const std::string& h : {host, origin}) {
        bool matched = hostMatchesList(list, h);
        if (matched != plainListMatch(list, h)) abort();
        if (!list.empty() && smallForRegex(list, h) && matched != regexListMatch(list, h)) abort();

        // Each pattern again behind empty ones (which match only "" and "/"), so that it starts at
        // every place within the automaton's words and runs across their borders.
        if (h.empty() || h == "/") continue;
        for (size_t i = 0; i < list.size() && i < 2; ++i) {
            bool expected = plainListMatch({list[i]}, h);
            std::vector<std::string> shifted{list[i]};
            for (int shift = 0; shift < 64; ++shift) {
                if (hostMatchesList(shifted, h) != expected) abort();
                shifted.insert(shifted.begin(), "");
            }
        }
    }
    return 0;
}
