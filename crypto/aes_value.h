// Short texts enciphered with AES-256-CBC (PKCS#7 padding) through the cipher engine. Every text
// aesEncryptText enciphers starts with the plaintext prefix "TessarionAESCBC", which
// aesDecryptText strips again; ciphertexts without it decipher unchanged. A text of n characters
// enciphers to ((15 + n + 1) / 16 + 1) * 16 bytes; key and IV are never stored with it.
#pragma once
#include <cstdint>

// The process's value key and IV, filled with random bytes once at start-up before any value is
// stored, and only read afterwards. aesEncryptText always uses them.
extern unsigned char valueKey[32];
extern unsigned char valueIv[16];

// New zero-filled ciphertext buffer (caller frees) and its length through outLength (may be
// NULL); NULL on failure, the length untouched then.
unsigned char* aesEncryptText(const char* inputText, int32_t* outLength);

// Deciphers length bytes under 32 key bytes and 16 IV bytes. New NUL-terminated text (caller
// frees), the prefix removed when present; NULL on failure (NULL argument, bad length, bad padding).
char* aesDecryptText(const unsigned char* inputText, int32_t length, const unsigned char* inputKey,
                     const unsigned char* inputIV);
