// Number conversion with a per-thread status, dotted-version comparison, random session
// identifiers and random bytes.
#pragma once
#include <cstddef>

#include "common/result_codes.h"

// The codes under the names these functions give them; a page may get them as results.
constexpr int kConversionOk = kResultOk;
constexpr int kConversionNotNumber = kResultNotNumber;
constexpr int kConversionNullText = kResultNullText;
constexpr int kVersionNoInput = kResultUnreadable;
constexpr int kVersionEmptyPart = kResultBadArguments;

// Outcome of the calling thread's last conversion: 0, 61003 or 61004.
extern thread_local int toolStatus;

// Decimal text to a value in the range of a 32-bit long. With digitsOnly, every character must be
// a digit (the first may be "-"); without it, leading blanks, a sign and trailing text are allowed.
long toLong(const char* text, bool digitsOnly);
// Hexadecimal text (optional "0x") to a value in the 32-bit range; 0 when it does not convert.
long hexToLong(const char* text);
bool lastConversionFailed();

// 0 equal, 1 A newer, -1 A older, 2 a non-numeric part differs, 3 different numbers of parts,
// 61005 an empty part, 61001 NULL input or no memory.
int compareVersion(const char* inputVersionA, const char* inputVersionB);

// New identifier of 8 characters of 0-9A-Z followed by "_SID"; NULL when no memory or no random
// bytes can be had.
char* makeRandomSID();
// Fills the buffer with random bytes; false when no random source is available.
bool fillRandom(void* buffer, size_t count);
