// Internal to the value wrapper: what its two halves share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/log.h"
#include "common/wipe.h"

namespace aes_value_detail {

inline constexpr const char* kSource = "AES";
inline constexpr char kPrefix[] = "TessarionAESCBC";
inline constexpr size_t kPrefixLength = sizeof kPrefix - 1;

inline void reportEngineError(uint32_t code, int line) {
    char text[96];
    std::snprintf(text, sizeof text, "Error code %d = 0x%X at %d line in %s", int(code), unsigned(code), line,
                  kSource);
    logWarning(text, "");
}

}  // namespace aes_value_detail
