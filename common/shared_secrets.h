// Fixed key material built into every deliverable from this one place. Both values were drawn
// once from a random source for this system; changing either breaks every peer that carries the
// old one (enciphered request values, signed instruction messages).
#pragma once

// Initialisation vector of values a page enciphers under its share secret, and of the stored TLS
// private key texts.
inline constexpr unsigned char kFixedIv[16] = {0x27, 0xdf, 0x8e, 0x28, 0x43, 0xac, 0xbc, 0x68,
                                               0x27, 0x15, 0xd3, 0x80, 0x3b, 0x00, 0xb8, 0xd9};

// Salt of the instruction-message hash: 71 non-zero bytes, used as a NUL-terminated text.
inline constexpr char kMessageSalt[] =
    "bcFp&OZ[EeLh;t@)$]Kk?;13jz+1U}+ZiDfz!4{}Gt?O4DHEZ(cIQw*R[Ps9&ZeumReL%S3";
static_assert(sizeof(kMessageSalt) == 72, "the salt is 71 bytes and its terminator");
