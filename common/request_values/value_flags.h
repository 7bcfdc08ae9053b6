// Per-key companion flags of a request map. For a key K, "K_TessarionEncryptFlag",
// "K_TessarionFlag", "K_TessarionSlashFlag" and "K_TessarionBase64Flag" set to "true" say how the
// value of K was sent; "K_TessarionHide" keeps the value out of the parameter dump.
#pragma once
#include "common/json_map.h"

// New text: inputValue decoded by the first set flag of inputKey (a plain copy when none is set
// or the decoding fails); NULL only for a NULL value. The caller frees it.
char* decodeJsonValue(const JsonMap* map, const char* inputKey, const char* inputValue);
// Logs every entry of the map with secrets masked; nothing while logging is off.
void displayParameters(const JsonMap* map);
