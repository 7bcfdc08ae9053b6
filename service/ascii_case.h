// Case-insensitive comparison of ASCII texts, the way request keys, commands and the path table
// are matched (letters A to Z only; other bytes must be equal).
#pragma once

inline char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool equalsNoCase(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (asciiLower(*a) != asciiLower(*b)) return false;
    return *a == *b;
}
