// The service's TLS material, made at build time: two certificates and their private keys
// sealed with AES-256-CBC under a key kept as two shares (see tools/keyseal.cpp).
#pragma once
#include <cstddef>

extern const char kRsaCertPem[];
extern const char kEcCertPem[];
extern const unsigned char kRsaKeySealed[];
extern const size_t kRsaKeySealedLength;
extern const unsigned char kEcKeySealed[];
extern const size_t kEcKeySealedLength;
extern const unsigned char kTlsKeyShareA[32];
extern const unsigned char kTlsKeyShareB[32];
