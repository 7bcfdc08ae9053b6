// Instruction messages: record, JSON text, time value, salted hash and verification.
#include "ipc/message.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/json_map.h"
#include "common/log.h"
#include "common/numbers.h"
#include "common/shared_secrets.h"
#include "common/text.h"
#include "crypto/sha512.h"
#include "platform/win_base.h"

namespace {

constexpr const char* kSource = "Message";

// Piece boundaries of the 16-character time text: 3, 4, 4 and 5 characters.
constexpr size_t kPieceStart[4] = {0, 3, 7, 11};
constexpr size_t kPieceEnd[4] = {3, 7, 11, 16};

// Cuts the time text into the record's four pieces; false when memory runs out.
bool setTimePieces(TessarionMessage* message, const char* timeText) {
    char** pieces[4] = {&message->TimeValue0, &message->TimeValue1, &message->TimeValue2,
                        &message->TimeValue3};
    for (int i = 0; i < 4; ++i) {
        *pieces[i] = substring(timeText, kPieceStart[i], kPieceEnd[i]);
        if (!*pieces[i]) return false;
    }
    return true;
}

bool hasAllFields(const TessarionMessage* m) {
    return m->From && m->To && m->Instruction && m->Message && m->TimeValue0 && m->TimeValue1 &&
           m->TimeValue2 && m->TimeValue3 && m->HashValue;
}

// The sender's time from the pieces: joined, right-aligned in 16 characters and read back as
// 3, 4, 4 and 5 hex digits, so a plain hex text gives its own value.
bool messageTime(const TessarionMessage* m, uint64_t* value) {
    char joined[17] = {0};
    std::snprintf(joined, sizeof joined, "%s%s%s%s", m->TimeValue0, m->TimeValue1, m->TimeValue2,
                  m->TimeValue3);
    char* aligned = rightAlign(joined, 16, ' ');
    if (!aligned) return false;
    uint64_t pieces[4];
    for (int i = 0; i < 4; ++i) {
        char* piece = substring(aligned, kPieceStart[i], kPieceEnd[i]);
        if (!piece) {
            std::free(aligned);
            return false;
        }
        pieces[i] = static_cast<uint64_t>(hexToLong(piece));
        std::free(piece);
    }
    std::free(aligned);
    *value = pieces[0] << 52 | pieces[1] << 36 | pieces[2] << 20 | pieces[3];
    return true;
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
    const char* parts[9] = {m->From,       m->To,        m->TimeValue0,  m->TimeValue1, m->TimeValue2,
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
    message->From = copyString(From);
    message->To = copyString(To);
    message->Instruction = copyString(Instruction);
    message->Message = copyString("");
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
        "{\"From\":\"%s\", \"To\":\"%s\", \"Instruction\":\"%s\", \"Message\":\"%s\", "
        "\"TimeValue\":\"%s%s%s%s\", "
        "\"HashValue\":\"%s\"}";
    const int length =
        std::snprintf(nullptr, 0, kFormat, m->From, m->To, m->Instruction, m->Message, m->TimeValue0,
                      m->TimeValue1, m->TimeValue2, m->TimeValue3, m->HashValue);
    if (length < 0) return nullptr;
    char* text = static_cast<char*>(std::calloc(size_t(length) + 1, 1));
    if (!text) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    std::snprintf(text, size_t(length) + 1, kFormat, m->From, m->To, m->Instruction, m->Message,
                  m->TimeValue0, m->TimeValue1, m->TimeValue2, m->TimeValue3, m->HashValue);
    return text;
}

TessarionMessage* parseIpcMessage(const char* text) {
    TessarionMessage* message = static_cast<TessarionMessage*>(std::calloc(1, sizeof(TessarionMessage)));
    if (!message) {
        reportAllocFail(kSource, __LINE__);
        return nullptr;
    }
    if (!text) return message;
    message->From = getJsonValue(text, "From");
    message->To = getJsonValue(text, "To");
    message->Instruction = getJsonValue(text, "Instruction");
    message->Message = getJsonValue(text, "Message");
    char* timeValue = getJsonValue(text, "TimeValue");
    // A time text of 20 characters or more leaves the pieces missing, so the message fails.
    if (timeValue && std::strlen(timeValue) < 20) setTimePieces(message, timeValue);
    std::free(timeValue);
    message->HashValue = getJsonValue(text, "HashValue");
    return message;
}

bool verifyIpcMessage(const TessarionMessage* message) {
    if (!message || !hasAllFields(message)) return false;

    uint64_t sent = 0;
    if (!messageTime(message, &sent)) {
        reportAllocFail(kSource, __LINE__);
        return false;
    }
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
