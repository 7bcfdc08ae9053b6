// Feeds arbitrary text to the instruction-message parser as a receiver gets it, then verifies,
// hashes and re-serialises whatever came out and parses that again: no step may read or write
// outside its buffers, whatever fields are missing or malformed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ipc/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes given and a terminator, so ASan sees any read past the text.
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (text == nullptr) return 0;
    std::memcpy(text, data, size);
    text[size] = '\0';

    TessarionMessage* message = parseIpcMessage(text);
    std::free(text);
    if (message == nullptr) return 0;
    verifyIpcMessage(message);
    std::free(buildMessageHash(message));

    char* json = ipcMessageToJson(message);
    if (json != nullptr) {
        TessarionMessage* again = parseIpcMessage(json);
        if (again == nullptr) abort();
        verifyIpcMessage(again);
        freeIpcMessage(again);
        std::free(json);
    }
    freeIpcMessage(message);
    return 0;
}
