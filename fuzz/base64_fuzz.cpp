// Feeds arbitrary text to the Base64 decoders and the JSON unescaper, each output buffer sized
// exactly as the callers size it, so any write or read past it shows under ASan; also checks
// that encoding then decoding gives the bytes back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) return 0;
    memcpy(text, data, size);
    text[size] = '\0';

    size_t expected = base64DecodedSize(text);
    unsigned char* decoded = static_cast<unsigned char*>(malloc(expected + 1));
    if (decoded != nullptr) {
        if (base64DecodeInto(decoded, text) != expected || decoded[expected] != 0) abort();
        free(decoded);
    }

    free(urlBase64Decode(text));
    free(unescapeJsonText(text));

    size_t encodedSize = (size + 2) / 3 * 4 + 1;
    char* encoded = static_cast<char*>(malloc(encodedSize));
    unsigned char* back = static_cast<unsigned char*>(malloc(size + 1));
    if (encoded != nullptr && back != nullptr) {
        if (base64EncodeInto(encoded, data, size) != encodedSize) abort();
        if (base64DecodeInto(back, encoded) != size || (size != 0 && memcmp(back, data, size) != 0)) abort();
    }
    free(encoded);
    free(back);
    free(text);
    return 0;
}
