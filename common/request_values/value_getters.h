// The value getters of a request map: every keyed read that hands a value to its reader decodes
// it by the key's flags first (value_flags.h), so a value sent protected or escaped arrives plain.
#pragma once
#include "common/json_map.h"

// New text of the value of key decoded by its flags, or NULL when absent.
char* getJsonMapValue(const JsonMap* map, const char* key);
// "TessarionMode" / "timeout": "true" 1, "false" 0 (case ignored), else the leading integer;
// 0 when absent.
int getModeFlag(const JsonMap* map);
int getTimeoutFlag(const JsonMap* map);
// The decoded value of key is "true" (case ignored).
bool isJsonFlagTrue(const JsonMap* map, const char* key);
