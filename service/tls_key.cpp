// The certificate choice by Windows version and the unsealing of the matching private key; the
// AES key that seals it is put together from its two shares only while it is needed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/shared_secrets.h"
#include "common/text.h"
#include "common/winver.h"
#include "crypto/aes_value.h"
#include "service/service_main.h"
#include "service/tls_material.h"

namespace {

// The key-protection routine: the AES key that opens the stored private keys, as 64 hex digits.
// It is only ever put together here, for the moment of the start-up that needs it.
char* tlsKeyHex() {
    char* hex = static_cast<char*>(allocZeroed(65));
    if (!hex) return nullptr;
    for (int i = 0; i < 32; ++i)
        std::snprintf(hex + 2 * i, 3, "%02X", static_cast<unsigned>(kTlsKeyShareA[i] ^ kTlsKeyShareB[i]));
    return hex;
}

}  // namespace

// Windows XP, and a Windows whose version is unknown, get the RSA pair; every other the EC pair.
bool useRsaCertificate(DWORD flags) {
    return flags == 0 || (flags & WINVER_XP) != 0;
}

char* loadTlsPrivateKey(DWORD flags) {
    char* hex = tlsKeyHex();
    if (!hex) {
        reportAllocFail("Key", __LINE__);
        return nullptr;
    }
    unsigned char* key = hexDecode(hex);
    char* text = nullptr;
    if (!key) {
        reportAllocFail("Key", __LINE__);
    } else {
        bool rsa = useRsaCertificate(flags);
        text = aesDecryptText(rsa ? kRsaKeySealed : kEcKeySealed,
                              static_cast<int32_t>(rsa ? kRsaKeySealedLength : kEcKeySealedLength), key,
                              kFixedIv);
        if (!text) reportAllocFail("Key", __LINE__);
        wipeBytes(key, 32);
        free(key);
    }
    wipeBytes(hex, 64);
    free(hex);
    return text;
}

// The same choices for the Windows this runs on.
bool useRsaCertificate() {
    return useRsaCertificate(getWindowsVersionFlags());
}

const char* tlsCertificatePem(DWORD flags) {
    return useRsaCertificate(flags) ? kRsaCertPem : kEcCertPem;
}

char* loadTlsPrivateKey() {
    return loadTlsPrivateKey(getWindowsVersionFlags());
}
