// Base64, the JSON unescaper and the conversions between UTF-8, wide text and BSTR. Every
// returned buffer is new; texts are freed with free(), BSTRs with SysFreeString.
#pragma once
#include <cstddef>
#include "platform/bstr.h"
#include "platform/win_base.h"

// Standard Base64 with "=" padding of length bytes into destination, which must hold
// (length + 2) / 3 * 4 + 1 characters; returns the characters written plus one (the NUL).
size_t base64EncodeInto(char* destination, const unsigned char* source, size_t length);
// New Base64 text of the input's bytes ("" for ""), or NULL.
char* base64Encode(const char* input);
// Decodes the leading alphabet characters of source into destination, which must hold
// base64DecodedSize(source) + 1 bytes; writes a NUL after the bytes and returns their number.
size_t base64DecodeInto(unsigned char* destination, const char* source);
// The number of bytes base64DecodeInto gives for source.
size_t base64DecodedSize(const char* source);
// URL-form Base64 ("%2B", "%2F", "%3D" for "+", "/", "="): new buffer of the decoded bytes with a
// NUL after them, or NULL.
char* urlBase64Decode(const char* input);
// Undoes the JSON escapes \r \n \t \u000f \u000e \u001b and \" (only those), or NULL.
char* unescapeJsonText(const char* inputData);

// Multi-byte text of length bytes in the code page (UTF-8 unless the caller says otherwise) to a
// new BSTR; NULL for NULL text or text that does not convert; "" gives an empty BSTR.
BSTR textToBstr(const char* text, int length, UINT codePage = CP_UTF8);
// A holder of the converted text; an empty holder for NULL text.
_bstr_t utf8ToBstr(const char* text, UINT codePage = CP_UTF8);
// New text of the holder's string in the code page; NULL for an empty holder or an empty string.
char* bstrToUtf8(_bstr_t holder, UINT codePage = CP_UTF8);

// wchar_t text to and from multi-byte text in the code page (the monitor's texts go through its
// current one) or in UTF-8: new texts (free()), NULL for NULL input or text that does not convert;
// "" gives "".
char* wideToText(const wchar_t* text, UINT codePage);
wchar_t* textToWide(const char* text, UINT codePage);
char* wideToUtf8(const wchar_t* text);
wchar_t* utf8ToWide(const char* text);
