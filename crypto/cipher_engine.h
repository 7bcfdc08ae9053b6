// A small software cipher engine on PKCS#11 calling conventions (mechanism numbers, CKR result
// codes, init / update / final, a NULL output asking only for the length). It serves one
// mechanism, AES-256-CBC with PKCS#7 padding. It allocates nothing and keeps all state in a
// context the caller owns, so independent contexts may be used on any number of threads.
#pragma once
#include <cstdint>

#define CKM_AES_CBC_PAD 0x1085u

#define CKR_OK 0x00u
#define CKR_ARGUMENTS_BAD 0x07u
#define CKR_DATA_INVALID 0x20u
#define CKR_ENCRYPTED_DATA_INVALID 0x40u
#define CKR_ENCRYPTED_DATA_LEN_RANGE 0x41u
#define CKR_OPERATION_NOT_INITIALIZED 0x91u
#define CKR_BUFFER_TOO_SMALL 0x150u

// Zero-filled by the caller before set-up; bufsize 0 means "not set up" (or already finished).
struct CipherContext {
    uint32_t mechanism;
    uint32_t roundKeys[60];  // 15 round keys; in equivalent-inverse form when deciphering
    uint32_t roundKeyWords;  // 60 for AES-256 (44 and 52 also work: 10 and 12 rounds)
    uint8_t buffer[16];      // bytes of the block not yet processed
    uint32_t bufsize;        // block size, 16
    uint32_t Buse;           // bytes held in buffer, 0 to 16
    uint32_t hold;           // 1 when deciphering: the last whole block waits for the final
    uint8_t chain[16];       // IV, then the last ciphertext block
};

// Set-up. Deciphering takes no IV: the caller copies its 16 bytes into chain before the first update.
void cipherEncryptInitAes256(CipherContext* context, const uint8_t key[32], const uint8_t iv[16]);
uint32_t cipherDecryptInitAes256(CipherContext* context, const uint8_t key[32]);

// On entry *outputLength is the room in output; on return the bytes written (or, for a NULL
// output or CKR_BUFFER_TOO_SMALL, the bytes that would be written; nothing is consumed then).
uint32_t cipherEncryptUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength,
                             uint8_t* output, uint32_t* outputLength);
uint32_t cipherDecryptUpdate(CipherContext* context, const uint8_t* input, uint32_t inputLength,
                             uint8_t* output, uint32_t* outputLength);
// A successful final wipes the context. The deciphering final always needs 16 bytes of room,
// although it reports only the unpadded count.
uint32_t cipherEncryptFinal(CipherContext* context, uint8_t* output, uint32_t* outputLength);
uint32_t cipherDecryptFinal(CipherContext* context, uint8_t* output, uint32_t* outputLength);

// Block functions.
void aes256ExpandKey(const uint8_t key[32], uint32_t roundKeys[60], uint32_t* roundKeyWords);
void aesInvertKeySchedule(uint32_t* roundKeys, uint32_t roundKeyWords);
void aesEncryptBlock(const uint32_t* roundKeys, uint32_t roundKeyWords, const uint8_t in[16],
                     uint8_t out[16]);
void aesDecryptBlock(const uint32_t* roundKeys, uint32_t roundKeyWords, const uint8_t in[16],
                     uint8_t out[16]);
void xorBytes(uint8_t* target, const uint8_t* source, uint32_t n);
void encryptBlockByMechanism(CipherContext* context, uint8_t out[16]);
void decryptBlockByMechanism(CipherContext* context, uint8_t out[16]);
