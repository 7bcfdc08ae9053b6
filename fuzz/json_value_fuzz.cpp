// Hostile message texts for the single-key lookup: the first byte gives the key's length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/json_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t keyLength = data[0] % 32;
    if (keyLength > size - 1) keyLength = size - 1;
    std::string key(reinterpret_cast<const char*>(data + 1), keyLength);
    size_t textLength = size - 1 - keyLength;
    char* text = static_cast<char*>(malloc(textLength + 1));
    if (text == nullptr) return 0;
    memcpy(text, data + 1 + keyLength, textLength);
    text[textLength] = '\0';
    free(getJsonValue(text, key.c_str()));
    free(text);
    return 0;
}
