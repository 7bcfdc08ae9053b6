// The origin allow-list, on the standard library's ECMAScript regular expressions. Their
// exceptions are caught here, where they arise.
#include "common/allowlist.h"

#include <cstring>
#include <exception>
#include <regex>

#include "common/log.h"

std::vector<std::string> urlCheckList;
unsigned char urlUnlocked = 0;

namespace {

// Longer than any origin of a real host name (253 characters, a scheme and a port); refusing
// longer texts keeps the backtracking matcher's work and stack depth small.
constexpr size_t kMaxOriginLength = 512;

bool isAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// An origin: "http://" or "https://" (case ignored), a dotted IPv4 address or a host name of
// labels of 1 to 63 letters, digits and hyphens that neither start nor end with a hyphen, then
// an optional "/" and an optional ":" with digits. (Every dotted IPv4 address is such a name.)
// Matched by hand: compiling the equivalent regular expression took most of a session's unlock.
bool isOriginUrl(const char* text) {
    const char* at = text;
    for (const char* scheme = "http"; *scheme != '\0'; ++scheme, ++at)
        if ((*at | 0x20) != *scheme) return false;
    if (*at == 's' || *at == 'S') ++at;
    if (strncmp(at, "://", 3) != 0) return false;
    at += 3;
    for (;;) {
        const char* label = at;
        while (isAsciiAlnum(*at) || *at == '-') ++at;
        size_t length = static_cast<size_t>(at - label);
        if (length == 0 || length > 63 || label[0] == '-' || at[-1] == '-') return false;
        if (*at != '.') break;
        ++at;
    }
    if (*at == '/') ++at;
    if (*at == ':') {
        ++at;
        if (!isAsciiDigit(*at)) return false;
        while (isAsciiDigit(*at)) ++at;
    }
    return *at == '\0';
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && isBlank(text[first])) ++first;
    while (last > first && isBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

// "*" becomes a run of non-blank characters and "." a literal point. Every other character of
// the entry is taken literally too: an entry is a host name, and regular-expression syntax
// slipped into one (say "(a+)+") could otherwise make a match run practically forever.
std::string entryPattern(const std::string& entry) {
    std::string pattern;
    for (size_t i = 0; i < entry.size(); ++i) {
        char c = entry[i];
        if (c == '*') {
            // A run of stars means what one star means, without the extra backtracking.
            if (i > 0 && entry[i - 1] == '*') continue;
            pattern += "\\S*";
        } else if (c == '.') {
            pattern += "\\.";
        } else {
            if (strchr("\\^$|?+()[]{}", c) != nullptr) pattern += '\\';
            pattern += c;
        }
    }
    return pattern;
}

void notUrl() {
    logWarning("[Warning] ", "Input domain is not url");
}

}  // namespace

void setUnlockURL(const char* text) {
    if (text == nullptr || text[0] == '\0') return;
    logNormal("Enable url check list", "");
    try {
        const std::string input(text);
        std::vector<std::string> entries;
        // Split at every ";"; the empty pieces are dropped below anyway.
        for (size_t start = 0; start <= input.size();) {
            size_t stop = input.find(';', start);
            if (stop == std::string::npos) stop = input.size();
            std::string entry = trimmed(input.substr(start, stop - start));
            start = stop + 1;
            if (!entry.empty() && entry.front() == '.') entry.insert(entry.begin(), '*');
            if (!entry.empty() && entry.back() == '.') entry.push_back('*');
            if (!entry.empty()) entries.push_back(entry);
        }
        urlUnlocked = 0;
        std::vector<std::string> patterns;
        for (const std::string& entry : entries) {
            logNormal("Url check list: ", entry.c_str());
            patterns.push_back(entryPattern(entry));
        }
        urlCheckList.swap(patterns);
    } catch (const std::exception& error) {
        logWarning("setUnlockURL exception: ", error.what());
    } catch (...) {
        logWarning("setUnlockURL exception: ", "Unknown exception");
    }
}

void unlock(const char* origin) {
    if (origin == nullptr || strlen(origin) > kMaxOriginLength) {
        notUrl();
        return;
    }
    try {
        if (!isOriginUrl(origin)) {
            notUrl();
            return;
        }
        if (urlUnlocked || urlCheckList.empty()) return;
        logNormal("Unlock original domain input: ", origin);

        std::string alternation;
        for (const std::string& entry : urlCheckList) {
            std::string part = "(" + entry;
            if (part.back() == '/') part.pop_back();
            alternation += part + "\\/?)|";
        }
        alternation.pop_back();

        // The scheme is removed case-sensitively, as written; then everything from the first colon.
        static const std::regex scheme("https?:\\/\\/");
        static const std::regex fromColon(":.*");
        std::string host = std::regex_replace(std::string(origin), scheme, "");
        host = std::regex_replace(host, fromColon, "");

        const std::regex allowed(alternation, std::regex::ECMAScript | std::regex::icase);
        if (std::regex_match(host, allowed)) urlUnlocked = 1;
    } catch (const std::exception& error) {
        logWarning("unlock exception: ", error.what());
    } catch (...) {
        logWarning("unlock exception: ", "Unknown exception");
    }
}
