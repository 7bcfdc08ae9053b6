// The value store's entries: kept enciphered under the per-run value key, found by channel, room
// made from expired entries, and every read checked against the entry's own origin list.
#include "service/value_store.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/allowlist.h"
#include "common/log.h"
#include "common/numbers.h"
#include "common/result_codes.h"
#include "common/text.h"
#include "crypto/aes_value.h"

ValueEntry valueEntries[kValueEntryCount];

namespace {

int64_t nowSeconds() {
    return static_cast<int64_t>(winTime(nullptr));
}

bool valueKeyDrawn = false;

// The ciphertext wiped before it is freed: the value must not outlive its entry in memory.
void dropCiphertext(ValueEntry& e) {
    if (e.ciphertext) wipeBytes(e.ciphertext, static_cast<size_t>(e.ciphertextLength));
    free(e.ciphertext);
    e.ciphertext = nullptr;
    e.ciphertextLength = 0;
}

// The entry of the channel (letter case ignored), or -1.
int findChannel(const char* channel) {
    for (int i = 0; i < kValueEntryCount; ++i)
        if (valueEntries[i].channel && equalsAsciiNoCase(valueEntries[i].channel, channel)) return i;
    return -1;
}

// A free entry; in a full store, room made from every expired entry and every entry without a
// lifetime, the last of them taken. -1, logged, when none gives way.
int takeFreeEntry() {
    for (int i = 0; i < kValueEntryCount; ++i)
        if (!valueEntries[i].channel) return i;
    int index = -1;
    int64_t now = nowSeconds();
    for (int i = 0; i < kValueEntryCount; ++i) {
        if (valueEntries[i].expiry < now) {
            clearValueEntry(i);
            index = i;
        }
    }
    if (index < 0) logWarning("TessarionValue: ", "Full");
    return index;
}

int checkSetArguments(const char* channel, const char* domainList, int timeout, const char* value) {
    if (!channel) {
        reportNullParameter("channel", "TessarionValue", __LINE__);
        return kResultBadArguments;
    }
    if (!domainList) {
        reportNullParameter("domain_list", "TessarionValue", __LINE__);
        return kResultBadArguments;
    }
    if (!value) {
        reportNullParameter("value", "TessarionValue", __LINE__);
        return kResultBadArguments;
    }
    return timeout < 0 ? kResultBadArguments : kResultOk;
}

// Enciphers the value into entry index under the value key. A key the start-up could not draw is
// drawn now; without one nothing is enciphered, and the page learns that nothing was kept while
// the channel holds no half entry.
int encipherValue(int index, const char* value) {
    ValueEntry& e = valueEntries[index];
    dropCiphertext(e);
    int32_t length = 0;
    bool keyed = valueKeyDrawn || drawValueKey();
    e.ciphertext = keyed ? aesEncryptText(value, &length) : nullptr;
    if (!e.ciphertext) {
        if (keyed) reportAllocFail("TessarionValue", __LINE__);
        clearValueEntry(index);
        return kResultUnreadable;
    }
    e.ciphertextLength = length;
    return kResultOk;
}

// The origin check on a list of the store's own, parsed from the entry's domain list: the
// allow-list's process-wide list and flag are never touched. The list is emptied before the
// check and after it, each time with its "Enable url check list" record, so that the log shows
// where a read's check begins and ends.
bool admitsOrigin(const char* domainList, const char* origin) {
    std::vector<std::string> list;
    unsigned char admitted = 0;
    setUnlockURL(";", list, admitted);
    setUnlockURL(domainList, list, admitted);
    unlock(origin, list, admitted);
    bool result = admitted != 0;
    setUnlockURL(";", list, admitted);
    return result;
}

// Whether the entry is within its lifetime; a read that finds it so starts the lifetime anew.
bool isLive(ValueEntry& e) {
    if (e.expiry == 0) {
        logNormal("TessarionValue: ", "No expired time");
        return true;
    }
    int64_t now = nowSeconds();
    logNormalInt("TessarionValue current_time: ", static_cast<int>(static_cast<uint32_t>(now)));
    if (now > e.expiry) {
        logWarning("TessarionValue: ", "Timeout");
        logWarningInt("TessarionValue expired_time: ", static_cast<int>(static_cast<uint32_t>(e.expiry)));
        return false;
    }
    e.expiry = now + 60LL * e.timeout;
    logNormalInt("TessarionValue update expired_time: ", static_cast<int>(static_cast<uint32_t>(e.expiry)));
    return true;
}

}  // namespace

bool drawValueKey() {
    valueKeyDrawn = fillRandom(valueKey, sizeof valueKey) && fillRandom(valueIv, sizeof valueIv);
    if (!valueKeyDrawn) logError("TessarionValue key: ", "Fail");
    return valueKeyDrawn;
}

void clearValueEntry(int index) {
    if (index < 0 || index >= kValueEntryCount) return;
    ValueEntry& e = valueEntries[index];
    free(e.channel);
    free(e.domainList);
    dropCiphertext(e);
    std::memset(&e, 0, sizeof e);
}

int setValueEntry(const char* channel, const char* domainList, int timeout, const char* value) {
    int code = checkSetArguments(channel, domainList, timeout, value);
    if (code != kResultOk) return code;
    int index = findChannel(channel);
    if (index < 0) index = takeFreeEntry();
    if (index < 0) return kResultStoreFull;

    ValueEntry& e = valueEntries[index];
    if (!e.channel) {
        e.channel = copyString(channel);
        if (!e.channel) return kResultStoreFull;
    }
    free(e.domainList);
    e.domainList = copyString(domainList);
    e.timeout = timeout;
    e.expiry = timeout > 0 ? nowSeconds() + 60LL * timeout : 0;
    return encipherValue(index, value);
}

char* getValueEntry(const char* channel, const char* origin) {
    char* answer = copyString("");
    if (!channel) {
        reportNullParameter("channel", "TessarionValue", __LINE__);
        return answer;
    }
    if (!origin) {
        reportNullParameter("domain", "TessarionValue", __LINE__);
        return answer;
    }
    int index = findChannel(channel);
    if (index < 0) {
        logWarning("TessarionValue no current channel", channel);
        return answer;
    }
    ValueEntry& e = valueEntries[index];
    if (!admitsOrigin(e.domainList ? e.domainList : "", origin)) {
        logWarning("TessarionValue url check fail", origin);
        return answer;
    }
    if (!isLive(e)) return answer;

    free(answer);
    char* text = aesDecryptText(e.ciphertext, e.ciphertextLength, valueKey, valueIv);
    if (!text) reportAllocFail("TessarionValue", __LINE__);
    return text;
}
