// The origin allow-list. Patterns are kept in their written form ("\S*" for a star, a backslash
// before a point or another sign) and matched by a bit-parallel automaton, which takes time linear
// in the host's length whatever the list holds: a backtracking regular-expression engine took
// minutes on lists such as "*a*a*a*a*c", holding the service's request lock.
#include "common/allowlist.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>

#include "common/log.h"
#include "common/text.h"

std::vector<std::string> urlCheckList;
unsigned char urlUnlocked = 0;

namespace {

// Longer than any origin of a real host name (253 characters, a scheme and a port).
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

// The written form of an entry: "*" as "\S*" (a run of non-blank characters), "." as "\." (a
// literal point), and a backslash before every other sign of regular-expression syntax, which an
// entry takes literally as well: an entry is a host name.
std::string entryPattern(const std::string& entry) {
    std::string pattern;
    for (size_t i = 0; i < entry.size(); ++i) {
        char c = entry[i];
        if (c == '*') {
            // A run of stars means what one star means.
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

// One step of a pattern: a star (a run of non-blank characters) or one literal character, kept
// in lower case.
struct Token {
    bool star;
    char c;
};

// Reads a pattern back from its written form; a run of stars becomes one. A final "/" is
// dropped, as the matcher lets every entry be followed by one.
void readPattern(const std::string& pattern, std::vector<Token>& tokens) {
    tokens.clear();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 3, "\\S*") == 0) {
            if (tokens.empty() || !tokens.back().star) tokens.push_back({true, '\0'});
            i += 2;
            continue;
        }
        if (pattern[i] == '\\' && i + 1 < pattern.size()) ++i;
        tokens.push_back({false, asciiLower(pattern[i])});
    }
    if (!tokens.empty() && !tokens.back().star && tokens.back().c == '/') tokens.pop_back();
}

// A shift-and automaton over a batch of patterns, one bit per state. Each pattern owns a run of
// bits: its start bit, then one bit per token, set while the tokens up to that one can consume
// the host's characters read so far. Start bits are set only before the first character and no
// mask holds them, so a shift from one pattern's last bit into the next pattern carries nothing.
// Each character costs one pass over the batch's words: time linear in the host's length.
class PatternBatch {
  public:
    explicit PatternBatch(const std::string& host) : host_(host) {
        for (int& index : charIndex_) index = -1;
        for (char c : host) {
            unsigned char key = static_cast<unsigned char>(asciiLower(c));
            if (charIndex_[key] < 0) {
                charIndex_[key] = static_cast<int>(literal_.size());
                literal_.emplace_back();
            }
        }
    }

    // Whether the batch should be run before a pattern of this many tokens is added.
    bool full(size_t tokens) const { return bits_ > 0 && bits_ + tokens + 1 > kBatchBits; }

    void add(const std::vector<Token>& tokens) {
        size_t bit = bits_;
        reserve(bit + tokens.size() + 1);
        set(start_, bit);
        for (const Token& t : tokens) {
            ++bit;
            if (t.star) {
                set(star_, bit);
            } else {
                // A character the host lacks is in no mask: nothing can pass that token.
                int index = charIndex_[static_cast<unsigned char>(t.c)];
                if (index >= 0) set(literal_[static_cast<size_t>(index)], bit);
            }
        }
        set(accept_, bit);
        bits_ = bit + 1;
    }

    // Whether a pattern of the batch matches the whole host, or the host without a final "/";
    // empties the batch.
    bool run() {
        if (bits_ == 0) return false;
        size_t words = (bits_ + 63) / 64;
        state_.assign(start_.begin(), start_.begin() + static_cast<std::ptrdiff_t>(words));
        closeOverStars(words);
        size_t n = host_.size();
        bool matched = false;
        for (size_t k = 0; k <= n && !matched; ++k) {
            bool atEnd = k == n || (k + 1 == n && host_[k] == '/');
            if (atEnd && meets(accept_, words)) matched = true;
            if (k == n || !step(host_[k], words)) break;
        }
        clear(words);
        return matched;
    }

  private:
    // Large enough for many patterns (one that can match a host of kMaxOriginLength characters
    // has at most 1,025 tokens, as stars never stand side by side), small enough to stay in cache.
    static constexpr size_t kBatchBits = 64 * 1024;

    static void set(std::vector<uint64_t>& mask, size_t bit) { mask[bit / 64] |= uint64_t{1} << (bit % 64); }

    void reserve(size_t bits) {
        size_t words = (bits + 63) / 64;
        if (start_.size() >= words) return;
        for (std::vector<uint64_t>* mask : {&start_, &star_, &accept_}) mask->resize(words);
        for (std::vector<uint64_t>& mask : literal_) mask.resize(words);
    }

    bool meets(const std::vector<uint64_t>& mask, size_t words) const {
        for (size_t w = 0; w < words; ++w)
            if ((state_[w] & mask[w]) != 0) return true;
        return false;
    }

    // A star may match the empty run: its bit follows the bit before it. Stars never stand side
    // by side, so one pass is enough.
    void closeOverStars(size_t words) {
        uint64_t carry = 0;
        for (size_t w = 0; w < words; ++w) {
            uint64_t before = state_[w];
            state_[w] |= ((before << 1) | carry) & star_[w];
            carry = before >> 63;
        }
    }

    // Reads one character of the host; false when no pattern is left that could still match.
    bool step(char c, size_t words) {
        const std::vector<uint64_t>& literal =
            literal_[static_cast<size_t>(charIndex_[static_cast<unsigned char>(asciiLower(c))])];
        bool nonBlank = !isBlank(c);
        uint64_t carry = 0;
        uint64_t live = 0;
        for (size_t w = 0; w < words; ++w) {
            uint64_t before = state_[w];
            uint64_t next = ((before << 1) | carry) & literal[w];
            if (nonBlank) next |= before & star_[w];
            carry = before >> 63;
            state_[w] = next;
            live |= next;
        }
        closeOverStars(words);
        return live != 0;
    }

    void clear(size_t words) {
        for (std::vector<uint64_t>* mask : {&start_, &star_, &accept_})
            std::fill(mask->begin(), mask->begin() + static_cast<std::ptrdiff_t>(words), 0);
        for (std::vector<uint64_t>& mask : literal_)
            std::fill(mask.begin(), mask.begin() + static_cast<std::ptrdiff_t>(words), 0);
        bits_ = 0;
    }

    const std::string& host_;
    int charIndex_[256];                          // lower-case character -> its literal mask
    std::vector<std::vector<uint64_t>> literal_;  // tokens that take that character
    std::vector<uint64_t> start_, star_, accept_, state_;
    size_t bits_ = 0;
};

void notUrl() {
    logWarning("[Warning] ", "Input domain is not url");
}

}  // namespace

void setUnlockURL(const char* text) {
    setUnlockURL(text, urlCheckList, urlUnlocked);
}

void setUnlockURL(const char* text, std::vector<std::string>& list, unsigned char& unlocked) {
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
        unlocked = 0;
        std::vector<std::string> patterns;
        for (const std::string& entry : entries) {
            logNormal("Url check list: ", entry.c_str());
            patterns.push_back(entryPattern(entry));
        }
        list.swap(patterns);
    } catch (const std::exception& error) {
        logWarning("setUnlockURL exception: ", error.what());
    } catch (...) {
        logWarning("setUnlockURL exception: ", "Unknown exception");
    }
}

void unlock(const char* origin) {
    unlock(origin, urlCheckList, urlUnlocked);
}

void unlock(const char* origin, const std::vector<std::string>& list, unsigned char& unlocked) {
    if (origin == nullptr || strlen(origin) > kMaxOriginLength) {
        notUrl();
        return;
    }
    try {
        if (!isOriginUrl(origin)) {
            notUrl();
            return;
        }
        if (unlocked || list.empty()) return;
        logNormal("Unlock original domain input: ", origin);

        if (hostMatchesList(list, hostOfOrigin(origin))) unlocked = 1;
    } catch (const std::exception& error) {
        logWarning("unlock exception: ", error.what());
    } catch (...) {
        logWarning("unlock exception: ", "Unknown exception");
    }
}

std::string hostOfOrigin(const char* origin) {
    std::string text = origin != nullptr ? origin : "";
    std::string noScheme;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 7, "http://") == 0) {
            i += 7;
        } else if (text.compare(i, 8, "https://") == 0) {
            i += 8;
        } else {
            noScheme += text[i++];
        }
    }
    // Each ":" goes with what follows it up to a line end (there is none in an origin).
    std::string host;
    for (size_t i = 0; i < noScheme.size(); ++i) {
        if (noScheme[i] != ':') {
            host += noScheme[i];
            continue;
        }
        while (i + 1 < noScheme.size() && noScheme[i + 1] != '\n' && noScheme[i + 1] != '\r') ++i;
    }
    return host;
}

bool hostMatchesList(const std::vector<std::string>& list, const std::string& host) {
    PatternBatch batch(host);
    std::vector<Token> tokens;
    for (const std::string& pattern : list) {
        readPattern(pattern, tokens);
        // Every literal token takes one character: a pattern with more than the host has can
        // never match, and leaving it out keeps the automaton as small as the host allows.
        size_t literals = 0;
        for (const Token& t : tokens) literals += t.star ? 0 : 1;
        if (literals > host.size()) continue;
        if (batch.full(tokens.size()) && batch.run()) return true;
        batch.add(tokens);
    }
    return batch.run();
}
