// Bounded text and buffer functions: zero-filled allocation with a logged failure, copies into
// fixed buffers that truncate and always terminate, and the small text helpers everything else
// builds on. Every returned text is a new zero-filled heap block the caller frees with free().
// The ASCII letter-case helpers and the wiping of secrets come along with it.
#pragma once
#include <cstddef>
#include "common/wipe.h"
#include "platform/ascii_case.h"
#include "platform/win_base.h"

void* allocZeroed(size_t n);
char* copyString(const char* text);
wchar_t* copyWideString(const wchar_t* input);
void copyBounded(char* buffer, size_t n, const char* source);
void copyBoundedAndFree(char* buffer, size_t n, char* source);
void copyBoundedW(wchar_t* buffer, size_t n, const wchar_t* source);
void copyBoundedWAndFree(wchar_t* buffer, size_t n, wchar_t* source);
void appendWideText(wchar_t* buffer /* 512 characters */, const wchar_t* source);
char* replaceAll(const char* text, const char* pattern, const char* replacement);
wchar_t* stripExeSuffix(const wchar_t* name);
bool startsWith(const char* prefix, const char* inputMainString);
char* substring(const char* text, size_t start, size_t end);
char* toLowerCopy(const char* input);
char** splitToArray(const char* text, const char* delimiter);
void freeStringList(char** list);
char* rightAlign(const char* MainText, size_t n, char fill);
unsigned char* hexDecode(const char* input);

// Appends into a 512-byte buffer, within the room left; always terminated.
void appendBounded(char* buffer, const char* text);
// A new wide text with every occurrence of from replaced by to, the texts taken through the code
// page (NULL on bad input); freed by the caller.
wchar_t* replaceAllWide(const wchar_t* text, const wchar_t* from, const wchar_t* to, UINT codePage);
// True when the path ends in "DisplayName.txt" (case-sensitive).
bool isDisplayNameFile(const char* path);
