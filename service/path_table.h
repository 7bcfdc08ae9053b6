// The adapter path table: the only libraries a page may make the service load.
#pragma once

// The caller's LibDir and ComName buffers hold 64 bytes.
constexpr int kPathFieldSize = 64;

// True when pathId is the table's (case ignored); then libDir and comName get the table's row.
bool resolvePathId(const char* pathId, char* libDir, char* comName);
// True when libDir and comName are the table's row (case ignored).
bool checkPathTable(const char* libDir, const char* comName);
