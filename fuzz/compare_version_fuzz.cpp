// Dotted-version comparison of hostile minimum versions (they come in requests). Input: version A,
// a newline, version B. Beside a clean run, the result must be one the callers know, swapping the
// sides must turn it around, and blanks or "," for "." must not change it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/numbers.h"

namespace {
int compare(const std::string& a, const std::string& b) {
    return compareVersion(a.c_str(), b.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string a = input.substr(0, newline).c_str();
    std::string b = newline == std::string::npos ? "" : input.substr(newline + 1).c_str();

    int result = compare(a, b);
    if (result != 0 && result != 1 && result != -1 && result != 2 && result != 3 &&
        result != kVersionEmptyPart)
        abort();
    int swapped = compare(b, a);
    if (swapped != (result == 1 || result == -1 ? -result : result)) abort();
    int self = compare(a, a);
    if (self != 0 && self != kVersionEmptyPart) abort();

    std::string commas = a;
    for (char& c : commas) c = c == '.' ? ',' : c == ',' ? '.' : c;
    if (compare(commas, b) != result) abort();
    // Only 511 characters of a version count, so the blank goes in where it shifts nothing out.
    if (a.size() < 511 && compare(" " + a, b) != result) abort();
    if (a.size() < 511 && compare(a + " ", b) != result) abort();
    return 0;
}
