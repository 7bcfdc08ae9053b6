// Internal to the value wrapper: what its two halves share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/wipe.h"
#include "crypto/cipher_engine.h"

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

// One pass of the engine over a context of the caller's stack. The steps run in order until one
// fails; finish wipes the context and reports the failed step by its line.
struct EngineRun {
    CipherContext context;
    uint32_t rc = CKR_OK;
    int line = 0;

    EngineRun() { std::memset(&context, 0, sizeof context); }
    EngineRun(const EngineRun&) = delete;
    EngineRun& operator=(const EngineRun&) = delete;

    template <typename Step>
    void step(int stepLine, Step run) {
        if (rc != CKR_OK) return;
        rc = run();
        line = stepLine;
    }
    // True when every step succeeded.
    bool finish() {
        wipeBytes(&context, sizeof context);
        if (rc != CKR_OK) reportEngineError(rc, line);
        return rc == CKR_OK;
    }
};

}  // namespace aes_value_detail
