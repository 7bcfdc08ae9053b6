// Per-channel value store: small values pages leave with the service under a channel name, kept
// enciphered in memory under the per-run value key, readable from the origins listed with them.
#pragma once
#include <cstdint>

constexpr int kValueEntryCount = 16;

struct ValueEntry {
    char* channel;     // NULL: the entry is free
    char* domainList;  // ";"-separated origin patterns
    int timeout;       // minutes; 0: never expires
    int64_t expiry;    // seconds since 1970; 0: none
    unsigned char* ciphertext;
    int ciphertextLength;
};

extern ValueEntry valueEntries[kValueEntryCount];

// kResultOk kept, kResultBadArguments an argument missing or a negative timeout, kResultStoreFull
// no room, kResultUnreadable the value could not be enciphered (no value key, or no memory).
int setValueEntry(const char* channel, const char* domainList, int timeout, const char* value);
// New text: the value, or "" when the channel is unknown, the origin not allowed or the value
// expired; NULL when the value cannot be deciphered.
char* getValueEntry(const char* channel, const char* origin);
void clearValueEntry(int index);
// Fills the value key and IV with random bytes; false, logged, when the random source fails.
bool drawValueKey();
