// Build step: seals the service's two TLS private keys under a fresh AES-256 key and writes them,
// with both certificates, as a C++ source that the service embeds. The sealed form is the one the
// service opens with aesDecryptText: AES-256-CBC with PKCS#7 padding of "TessarionAESCBC", the key
// text and its NUL, under the fixed IV. The AES key is kept as two random shares, so neither the
// key nor a private key ever stands in the program as it is.
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/shared_secrets.h"
#include "common/wipe.h"

namespace {

bool readFile(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

bool seal(const std::string& pem, const unsigned char key[32], std::vector<unsigned char>& out) {
    std::string plain = "TessarionAESCBC" + pem;
    plain.push_back('\0');
    size_t pad = 16 - plain.size() % 16;
    std::vector<unsigned char> buf(plain.begin(), plain.end());
    buf.insert(buf.end(), pad, static_cast<unsigned char>(pad));
    gnutls_datum_t k{const_cast<unsigned char*>(key), 32};
    gnutls_datum_t iv{const_cast<unsigned char*>(kFixedIv), 16};
    gnutls_cipher_hd_t h;
    if (gnutls_cipher_init(&h, GNUTLS_CIPHER_AES_256_CBC, &k, &iv) < 0) return false;
    int rc = gnutls_cipher_encrypt(h, buf.data(), buf.size());
    gnutls_cipher_deinit(h);
    if (rc < 0) return false;
    out = std::move(buf);
    return true;
}

void emitBytes(std::ostream& o, const char* name, const unsigned char* p, size_t n) {
    o << "extern const unsigned char " << name << "[] = {";
    for (size_t i = 0; i < n; ++i) {
        if (i % 16 == 0) o << "\n   ";
        char b[8];
        std::snprintf(b, sizeof b, " 0x%02x,", p[i]);
        o << b;
    }
    o << "\n};\n";
}

void emitText(std::ostream& o, const char* name, const std::string& text) {
    o << "extern const char " << name << "[] =\n";
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) o << "    \"" << line << "\\n\"\n";
    o << "    ;\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s rsa.key rsa.pem ec.key ec.pem out.cpp\n", argv[0]);
        return 2;
    }
    std::string rsaKey, rsaCert, ecKey, ecCert;
    if (!readFile(argv[1], rsaKey) || !readFile(argv[2], rsaCert) || !readFile(argv[3], ecKey) ||
        !readFile(argv[4], ecCert)) {
        std::fprintf(stderr, "keyseal: cannot read the key or certificate files\n");
        return 1;
    }
    unsigned char key[32], shareA[32], shareB[32];
    if (gnutls_rnd(GNUTLS_RND_KEY, key, sizeof key) < 0 ||
        gnutls_rnd(GNUTLS_RND_KEY, shareA, sizeof shareA) < 0) {
        std::fprintf(stderr, "keyseal: no random bytes\n");
        return 1;
    }
    for (int i = 0; i < 32; ++i) shareB[i] = key[i] ^ shareA[i];
    std::vector<unsigned char> rsaSealed, ecSealed;
    if (!seal(rsaKey, key, rsaSealed) || !seal(ecKey, key, ecSealed)) {
        std::fprintf(stderr, "keyseal: sealing failed\n");
        return 1;
    }
    std::ofstream o(argv[5], std::ios::binary | std::ios::trunc);
    o << "// Generated at build time by keyseal; never committed.\n#include <cstddef>\n\n";
    emitText(o, "kRsaCertPem", rsaCert);
    emitText(o, "kEcCertPem", ecCert);
    emitBytes(o, "kRsaKeySealed", rsaSealed.data(), rsaSealed.size());
    o << "extern const size_t kRsaKeySealedLength = " << rsaSealed.size() << ";\n";
    emitBytes(o, "kEcKeySealed", ecSealed.data(), ecSealed.size());
    o << "extern const size_t kEcKeySealedLength = " << ecSealed.size() << ";\n";
    emitBytes(o, "kTlsKeyShareA", shareA, 32);
    emitBytes(o, "kTlsKeyShareB", shareB, 32);
    o.close();
    wipeBytes(key, sizeof key);
    return o ? 0 : 1;
}
