// Instruction messages: record, JSON text, time value, salted hash and verification.
#define JSMN_HEADER
#include <jsmn.h>

#include "ipc/message.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/shared_secrets.h"
#include "crypto/sha512.h"
#include "platform/win_base.h"

namespace {

constexpr const char* kSource = "Message";

// Piece boundaries of the 16-character time text: 3, 4, 4 and 5 characters.
constexpr size_t kPieceStart[4] = {0, 3, 7, 11};
constexpr size_t kPieceEnd[4] = {3, 7, 11, 16};

char* copyRange(const char* text, size_t start, size_t end) {
    size_t length = std::strlen(text);
    if (start > length) start = length;
    if (end > length) end = length;
    char* piece = static_cast<char*>(std::calloc(end - start + 1, 1));
    if (piece) std::memcpy(piece, text + start, end - start);
    return piece;
}

// Cuts the time text into the record's four pieces; false when memory runs out.
bool setTimePieces(TessarionMessage* message, const char* timeText) {
    char** pieces[4] = {&message->TimeValue0, &message->TimeValue1, &message->TimeValue2, &message->TimeValue3};
    for (int i = 0; i < 4; ++i) {
        *pieces[i] = copyRange(timeText, kPieceStart[i], kPieceEnd[i]);
        if (!*pieces[i]) return false;
    }
    return true;
}

bool hasAllFields(const TessarionMessage* m) {
    return m->From && m->To && m->Instruction && m->Message && m->TimeValue0 && m->TimeValue1 && m->TimeValue2 &&
           m->TimeValue3 && m->HashValue;
}

// Value of one key in a flat JSON object: keys compared without regard to ASCII case, a backslash
// before a double quote dropped, nothing else unescaped. NULL when the key is not there.
char* lookupJsonValue(const char* text, const char* key) {
    jsmn_parser parser;
    jsmntok_t tokens[64];
    jsmn_init(&parser);
    int count = jsmn_parse(&parser, text, std::strlen(text), tokens, 64);
    if (count <= 1) return nullptr;
    const size_t keyLength = std::strlen(key);
    for (int i = 1; i < count; i += 2) {
        const jsmntok_t& k = tokens[i];
        if (k.start < 0 || k.end <= k.start) continue;
        const size_t length = size_t(k.end - k.start);
        if (length != keyLength) continue;
        bool same = true;
        for (size_t j = 0; j < length && same; ++j)
            same = std::tolower(static_cast<unsigned char>(text[k.start + j])) ==
                   std::tolower(static_cast<unsigned char>(key[j]));
        if (!same) continue;
        if (i + 1 >= count) return nullptr;
        const jsmntok_t& v = tokens[i + 1];
        if (v.start < 0 || v.end < v.start) return nullptr;
        const size_t valueLength = size_t(v.end - v.start);
        char* value = static_cast<char*>(std::calloc(valueLength + 1, 1));
        if (!value) return nullptr;
        size_t out = 0;
        for (size_t j = 0; j < valueLength; ++j) {
            const char ch = text[v.start + j];
            if (ch == '\\' && j + 1 < valueLength && text[v.start + j + 1] == '"') continue;
            value[out++] = ch;
        }
        return value;
    }
    return nullptr;
}

// One right-aligned piece as hexadecimal: leading blanks skipped, no digits counts as 0.
uint64_t hexPiece(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && text[i] == ' ') ++i;
    if (i + 1 < length && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    uint64_t value = 0;
    for (; i < length; ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else break;
        value = (value << 4) | uint64_t(digit);
    }
    return value;
}

uint64_t messageTime(const TessarionMessage* m) {
    char joined[17] = {0};
    std::snprintf(joined, sizeof joined, "%s%s%s%s", m->TimeValue0, m->TimeValue1, m->TimeValue2, m->TimeValue3);
    const size_t length = std::strlen(joined);
    char aligned[17];
    std::memset(aligned, ' ', 16);
    std::memcpy(aligned + 16 - length, joined, length);
    aligned[16] = 0;
    return hexPiece(aligned, 3) << 52 | hexPiece(aligned + 3, 4) << 36 | hexPiece(aligned + 7, 4) << 20 |
           hexPiece(aligned + 11, 5);
}

}  // namespace

int64_t getIpcTimeValue() {
    struct tm local;
    if (!winLocalTime(winTime(nullptr), &local)) return 0;
    const int years = local.tm_year;
    const bool leap = (years % 4 == 0 && years % 100 != 0) || years % 400 == 0;
    const int64_t yearSeconds = leap ? 31622400 : 31536000;
    return int64_t(years - 115) * yearSeconds +
           ((int64_t(local.tm_mday) * 24 + local.tm_hour) * 60 + local.tm_min) * 60 + local.tm_sec;
}

char* getIpcTimeValueText() {
    char* text = static_cast<char*>(std::calloc(32, 1));
    if (!text) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    std::snprintf(text, 32, "%llx", static_cast<unsigned long long>(getIpcTimeValue()));
    return text;
}

char* buildMessageHash(const TessarionMessage* m) {
    if (!m || !m->From || !m->To || !m->Instruction || !m->Message || !m->TimeValue0 || !m->TimeValue1 ||
        !m->TimeValue2 || !m->TimeValue3)
        return nullptr;
    const char* parts[9] = {m->From,       m->To,       m->TimeValue0,  m->TimeValue1, m->TimeValue2,
                            m->TimeValue3, kMessageSalt, m->Instruction, m->Message};
    size_t total = 1;
    for (const char* p : parts) total += std::strlen(p);
    char* joined = static_cast<char*>(std::calloc(total, 1));
    if (!joined) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    size_t at = 0;
    for (const char* p : parts) {
        const size_t length = std::strlen(p);
        std::memcpy(joined + at, p, length);
        at += length;
    }
    char* hash = sha512Hex(joined);
    std::free(joined);
    return hash;
}

TessarionMessage* newIpcMessage(const char* From, const char* To, const char* Instruction) {
    if (!From || !To || !Instruction) return nullptr;
    TessarionMessage* message = static_cast<TessarionMessage*>(std::calloc(1, sizeof(TessarionMessage)));
    if (!message) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    char* timeText = getIpcTimeValueText();
    message->From = strdup(From);
    message->To = strdup(To);
    message->Instruction = strdup(Instruction);
    message->Message = strdup("");
    bool ok = timeText && message->From && message->To && message->Instruction && message->Message &&
              setTimePieces(message, timeText);
    std::free(timeText);
    if (ok) {
        message->HashValue = buildMessageHash(message);
        ok = message->HashValue != nullptr;
    }
    if (!ok) {
        freeIpcMessage(message);
        return nullptr;
    }
    return message;
}

char* ipcMessageToJson(const TessarionMessage* m) {
    if (!m || !hasAllFields(m)) return nullptr;
    static const char kFormat[] =
        "{\"From\":\"%s\", \"To\":\"%s\", \"Instruction\":\"%s\", \"Message\":\"%s\", \"TimeValue\":\"%s%s%s%s\", "
        "\"HashValue\":\"%s\"}";
    const int length = std::snprintf(nullptr, 0, kFormat, m->From, m->To, m->Instruction, m->Message, m->TimeValue0,
                                     m->TimeValue1, m->TimeValue2, m->TimeValue3, m->HashValue);
    if (length < 0) return nullptr;
    char* text = static_cast<char*>(std::calloc(size_t(length) + 1, 1));
    if (!text) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    std::snprintf(text, size_t(length) + 1, kFormat, m->From, m->To, m->Instruction, m->Message, m->TimeValue0,
                  m->TimeValue1, m->TimeValue2, m->TimeValue3, m->HashValue);
    return text;
}

TessarionMessage* parseIpcMessage(const char* text) {
    TessarionMessage* message = static_cast<TessarionMessage*>(std::calloc(1, sizeof(TessarionMessage)));
    if (!message) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    if (!text) return message;
    message->From = lookupJsonValue(text, "From");
    message->To = lookupJsonValue(text, "To");
    message->Instruction = lookupJsonValue(text, "Instruction");
    message->Message = lookupJsonValue(text, "Message");
    char* timeValue = lookupJsonValue(text, "TimeValue");
    // A time text of 20 characters or more leaves the pieces missing, so the message fails.
    if (timeValue && std::strlen(timeValue) < 20) setTimePieces(message, timeValue);
    std::free(timeValue);
    message->HashValue = lookupJsonValue(text, "HashValue");
    return message;
}

bool verifyIpcMessage(const TessarionMessage* message) {
    if (!message || !hasAllFields(message)) return false;

    const uint64_t sent = messageTime(message);
    const uint64_t now = uint64_t(getIpcTimeValue());
    if (now - sent > 2) {
        char number[24];
        std::snprintf(number, sizeof number, "%llx", static_cast<unsigned long long>(now));
        logWarning("TessarionMessage now time value: ", number);
        std::snprintf(number, sizeof number, "%llx", static_cast<unsigned long long>(sent));
        logWarning("TessarionMessage message time value: ", number);
        logWarning("TessarionMessage verify fail: ", "Replay attack");
        return false;
    }

    char* hash = buildMessageHash(message);
    if (!hash) {
        reportAllocFail(kSource, __LINE__);
        return false;
    }
    const bool same = std::strcmp(hash, message->HashValue) == 0;
    std::free(hash);
    if (same) {
        logNormal("TessarionMessage verify state: ", "Success");
        return true;
    }
    logWarning("TessarionMessage verify state: ", "Fail");
    return false;
}

void freeIpcMessage(TessarionMessage* message) {
    if (!message) return;
    char* fields[9] = {message->From,       message->To,         message->Instruction,
                       message->Message,    message->TimeValue0, message->TimeValue1,
                       message->TimeValue2, message->TimeValue3, message->HashValue};
    for (char* f : fields) std::free(f);
    std::free(message);
}
