// The certificate the service serves with and the private key it unseals for it, for each Windows
// its version flags name: the RSA 4096 pair on Windows XP and when the version is unknown, the EC
// P-384 pair on every other. The flags are given, not detected, so the table runs the same on
// every machine (under Wine, too, which always reports Windows 10).
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/winver.h"
#include "common/wipe.h"
#include "service/service_main.h"

namespace {

std::string hex(const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

gnutls_datum_t datum(const char* pem) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(pem)),
            static_cast<unsigned>(std::strlen(pem))};
}

// What a certificate's public key is: "RSA 4096" or "EC SECP384R1", and its key id.
struct PublicKey {
    std::string kind;
    std::string id;
};

PublicKey certificateKey(const char* pem) {
    PublicKey out{"not a certificate", ""};
    gnutls_x509_crt_t crt;
    if (gnutls_x509_crt_init(&crt) < 0) return out;
    gnutls_datum_t in = datum(pem);
    if (gnutls_x509_crt_import(crt, &in, GNUTLS_X509_FMT_PEM) == 0) {
        unsigned bits = 0;
        int algorithm = gnutls_x509_crt_get_pk_algorithm(crt, &bits);
        if (algorithm == GNUTLS_PK_RSA) {
            out.kind = "RSA " + std::to_string(bits);
        } else if (algorithm == GNUTLS_PK_ECDSA) {
            gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
            gnutls_datum_t x{}, y{};
            if (gnutls_x509_crt_get_pk_ecc_raw(crt, &curve, &x, &y) == 0) {
                const char* name = gnutls_ecc_curve_get_name(curve);
                out.kind = std::string("EC ") + (name ? name : "?");
                gnutls_free(x.data);
                gnutls_free(y.data);
            }
        } else {
            out.kind = "algorithm " + std::to_string(algorithm);
        }
        unsigned char id[64];
        size_t size = sizeof id;
        if (gnutls_x509_crt_get_key_id(crt, 0, id, &size) == 0) out.id = hex(id, size);
    }
    gnutls_x509_crt_deinit(crt);
    return out;
}

// The key id of a PEM private key, or a note of why there is none.
std::string privateKeyId(const char* pem) {
    gnutls_x509_privkey_t key;
    if (gnutls_x509_privkey_init(&key) < 0) return "no key object";
    std::string out = "not a private key";
    gnutls_datum_t in = datum(pem);
    if (gnutls_x509_privkey_import(key, &in, GNUTLS_X509_FMT_PEM) == 0) {
        unsigned char id[64];
        size_t size = sizeof id;
        if (gnutls_x509_privkey_get_key_id(key, 0, id, &size) == 0) out = hex(id, size);
    }
    gnutls_x509_privkey_deinit(key);
    return out;
}

TEST(ServiceCertificate, PairFollowsTheWindowsVersionFlags) {
    const char* const rsa = "RSA 4096";
    const char* const ec = "EC SECP384R1";
    const struct {
        const char* windows;
        DWORD flags;
        const char* served;
    } cases[] = {
        {"XP", WINVER_XP | WINVER_32BIT, rsa},
        {"XP on a 64-bit processor (version 5.1)", WINVER_XP | WINVER_64BIT, rsa},
        {"XP x64 (version 5.2, no XP bit)", WINVER_XP_X64 | WINVER_64BIT, ec},
        {"Vista", WINVER_VISTA | WINVER_32BIT, ec},
        {"7", WINVER_7 | WINVER_32BIT, ec},
        {"7 64-bit", WINVER_7 | WINVER_64BIT, ec},
        {"10", WINVER_10 | WINVER_64BIT, ec},
        {"11", WINVER_11 | WINVER_64BIT, ec},
        {"version unknown", 0, rsa},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windows);
        EXPECT_EQ(useRsaCertificate(c.flags), c.served == rsa);
        PublicKey served = certificateKey(tlsCertificatePem(c.flags));
        EXPECT_EQ(served.kind, c.served);
        ASSERT_FALSE(served.id.empty());
        char* key = loadTlsPrivateKey(c.flags);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(privateKeyId(key), served.id) << "the key unsealed for the certificate served";
        wipeAndFree(key);
    }
}

}  // namespace
