// Letter case of ASCII texts, narrow or wide: A to Z and a to z only, every other unit compared as
// it stands, never through a locale. Request keys, commands, ini names, image and file names all
// match this one way, in the platform layer and in the system alike; plain C++, so the Windows
// build uses the same header.
#pragma once
#include <cstddef>
#include <type_traits>

template <typename C>
constexpr C asciiLower(C c) {
    return (c >= C('A') && c <= C('Z')) ? C(c - C('A') + C('a')) : c;
}

template <typename C>
constexpr C asciiUpper(C c) {
    return (c >= C('a') && c <= C('z')) ? C(c - C('a') + C('A')) : c;
}

// The case-blind key order: units compared as unsigned values after folding, so a text sorts
// before every longer text it begins. Returns -1, 0 or 1.
template <typename C>
int compareAsciiNoCase(const C* a, const C* b) {
    using Unit = std::make_unsigned_t<C>;
    for (;; ++a, ++b) {
        Unit x = static_cast<Unit>(asciiLower(*a));
        Unit y = static_cast<Unit>(asciiLower(*b));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// Two terminated texts equal but for letter case; a missing text equals nothing.
template <typename C>
bool equalsAsciiNoCase(const C* a, const C* b) {
    return a != nullptr && b != nullptr && compareAsciiNoCase(a, b) == 0;
}

// The first n units of each equal but for letter case, a NUL unit like any other: for pieces of a
// line and for counted texts.
template <typename C>
bool equalsAsciiNoCase(const C* a, const C* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}
