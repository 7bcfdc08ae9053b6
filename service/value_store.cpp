#include "service/value_store.h"

#include <cstdlib>
#include <cstring>

#include "common/allowlist.h"
#include "common/log.h"
#include "common/numbers.h"
#include "common/text.h"
#include "crypto/aes_value.h"

ValueEntry valueEntries[kValueEntryCount];

namespace {

int64_t nowSeconds() {
    return static_cast<int64_t>(winTime(nullptr));
}

// The store's origin check uses the shared allow-list, so it leaves the list empty and the flag
// clear behind it: an empty domain list must never inherit the patterns of an earlier read.
void emptyAllowList() {
    setUnlockURL(";");
    urlUnlocked = 0;
}

bool valueKeyDrawn = false;

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
    if (e.ciphertext) wipeBytes(e.ciphertext, static_cast<size_t>(e.ciphertextLength));
    free(e.ciphertext);
    std::memset(&e, 0, sizeof e);
}

int setValueEntry(const char* channel, const char* domainList, int timeout, const char* value) {
    if (!channel) {
        reportNullParameter("channel", "TessarionValue", __LINE__);
        return 61005;
    }
    if (!domainList) {
        reportNullParameter("domain_list", "TessarionValue", __LINE__);
        return 61005;
    }
    if (!value) {
        reportNullParameter("value", "TessarionValue", __LINE__);
        return 61005;
    }
    if (timeout < 0) return 61005;

    int index = -1;
    for (int i = 0; i < kValueEntryCount && index < 0; ++i)
        if (valueEntries[i].channel && equalsAsciiNoCase(valueEntries[i].channel, channel)) index = i;
    for (int i = 0; i < kValueEntryCount && index < 0; ++i)
        if (!valueEntries[i].channel) index = i;
    if (index < 0) {
        // Full: make room from every expired entry and every entry without a lifetime.
        int64_t now = nowSeconds();
        for (int i = 0; i < kValueEntryCount; ++i) {
            if (valueEntries[i].expiry < now) {
                clearValueEntry(i);
                index = i;
            }
        }
        if (index < 0) {
            logWarning("TessarionValue: ", "Full");
            return 61019;
        }
    }
    ValueEntry& e = valueEntries[index];
    if (!e.channel) {
        e.channel = copyString(channel);
        if (!e.channel) return 61019;
    }
    free(e.domainList);
    e.domainList = copyString(domainList);
    e.timeout = timeout;
    e.expiry = timeout > 0 ? nowSeconds() + 60LL * timeout : 0;
    if (e.ciphertext) wipeBytes(e.ciphertext, static_cast<size_t>(e.ciphertextLength));
    free(e.ciphertext);
    e.ciphertext = nullptr;
    e.ciphertextLength = 0;
    int32_t length = 0;
    // A key the start-up could not draw is drawn now; without one nothing is enciphered.
    bool keyed = valueKeyDrawn || drawValueKey();
    e.ciphertext = keyed ? aesEncryptText(value, &length) : nullptr;
    if (!e.ciphertext) {
        if (keyed) reportAllocFail("TessarionValue", __LINE__);
        // The page learns that nothing was kept, and the channel holds no half entry.
        clearValueEntry(index);
        return kValueNotKept;
    }
    e.ciphertextLength = length;
    return 0;
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

    ValueEntry* e = nullptr;
    for (int i = 0; i < kValueEntryCount && !e; ++i)
        if (valueEntries[i].channel && equalsAsciiNoCase(valueEntries[i].channel, channel))
            e = &valueEntries[i];
    if (!e) {
        logWarning("TessarionValue no current channel", channel);
        return answer;
    }

    emptyAllowList();
    setUnlockURL(e->domainList ? e->domainList : "");
    unlock(origin);
    bool admitted = urlUnlocked != 0;
    emptyAllowList();
    if (!admitted) {
        logWarning("TessarionValue url check fail", origin);
        return answer;
    }

    if (e->expiry != 0) {
        int64_t now = nowSeconds();
        logNormalInt("TessarionValue current_time: ", static_cast<int>(static_cast<uint32_t>(now)));
        if (now > e->expiry) {
            logWarning("TessarionValue: ", "Timeout");
            logWarningInt("TessarionValue expired_time: ",
                          static_cast<int>(static_cast<uint32_t>(e->expiry)));
            return answer;
        }
        e->expiry = now + 60LL * e->timeout;
        logNormalInt("TessarionValue update expired_time: ",
                     static_cast<int>(static_cast<uint32_t>(e->expiry)));
    } else {
        logNormal("TessarionValue: ", "No expired time");
    }

    free(answer);
    char* text = aesDecryptText(e->ciphertext, e->ciphertextLength, valueKey, valueIv);
    if (!text) reportAllocFail("TessarionValue", __LINE__);
    return text;
}
