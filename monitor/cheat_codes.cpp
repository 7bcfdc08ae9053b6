// Hidden key sequences that toggle debug mode, watched only while the About box is open.
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <deque>

#include "common/log.h"
#include "monitor/monitor.h"

namespace {

constexpr int kMaxCodes = 63;
constexpr size_t kHistory = 16;

cheatCodeRecord* cheatCodeTable[3];
std::atomic<int> cheatCodeCount{0};
std::mutex registerLock;

// The sequences are kept masked in the program, so they do not read as text in the binary.
constexpr int kMask = 0x5A;
const int kSequence1[] = {0x26 ^ kMask, 0x26 ^ kMask, 0x28 ^ kMask, 0x28 ^ kMask, 0x25 ^ kMask, 0x27 ^ kMask,
                          0x25 ^ kMask, 0x27 ^ kMask, 0x42 ^ kMask, 0x41 ^ kMask, 0x42 ^ kMask, 0x41 ^ kMask};
const int kSequence2[] = {0x4B ^ kMask, 0x56 ^ kMask, 0x4C ^ kMask, 0x42 ^ kMask, 0x44 ^ kMask, 0x4D ^ kMask};
const int kSequence3[] = {0x44 ^ kMask, 0x45 ^ kMask, 0x42 ^ kMask, 0x55 ^ kMask, 0x47 ^ kMask,
                          0x4D ^ kMask, 0x4F ^ kMask, 0x44 ^ kMask, 0x45 ^ kMask, 0x31 ^ kMask};

void addSequence(const int* masked, int count) {
    int codes[kMaxCodes + 1] = {};
    for (int i = 0; i < count && i < kMaxCodes; ++i) codes[i] = masked[i] ^ kMask;
    cheatCodeRecord* record = initCheatCode(codes, count);
    if (record != nullptr) cheatCodeTable[cheatCodeCount.load()] = record, cheatCodeCount.fetch_add(1);
}

}  // namespace

cheatCodeRecord* initCheatCode(const int* codes, int count) {
    if (codes == nullptr) {
        reportNullParameter("inputCheatCode", __FILE__, __LINE__);
        return nullptr;
    }
    auto* record = static_cast<cheatCodeRecord*>(calloc(1, sizeof(cheatCodeRecord)));
    if (record == nullptr) {
        reportAllocFail(__FILE__, __LINE__);
        return nullptr;
    }
    for (int i = 0; i < count && codes[i] != 0; ++i) {
        if (record->count == kMaxCodes) {
            logError(" Init cheat code error, input too long", "");
            free(record);
            return nullptr;
        }
        record->codes[record->count++] = codes[i];
    }
    record->action = toggleDebugMode;
    return record;
}

void registerCheatCodes() {
    std::lock_guard<std::mutex> l(registerLock);
    if (cheatCodeCount.load() > 0) return;
    addSequence(kSequence1, 12);
    addSequence(kSequence2, 6);
    addSequence(kSequence3, 10);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, cheatCodeWatcher, nullptr) == 0) pthread_detach(thread);
}

void* cheatCodeWatcher(void*) {
    std::deque<int> keyHistory;
    for (;;) {
        while (aboutMayShow.load() == 1) Sleep(200);
        for (int code = 1; code <= 254; ++code) {
            if (GetKeyState(code) >= 0) continue;
            char hex[16];
            snprintf(hex, sizeof hex, "%X", code);
            logNormal("User pressed: ", hex);
            keyHistory.push_back(code);
            while (keyHistory.size() > kHistory) keyHistory.pop_front();
            while (GetKeyState(code) < 0) Sleep(50);
            int records = cheatCodeCount.load();
            for (int r = 0; r < records; ++r) {
                cheatCodeRecord* record = cheatCodeTable[r];
                size_t n = (size_t)record->count;
                if (n == 0 || keyHistory.size() < n) continue;
                bool equal = true;
                for (size_t i = 0; i < n && equal; ++i)
                    equal = keyHistory[keyHistory.size() - n + i] == record->codes[i];
                if (equal) {
                    keyHistory.clear();
                    record->action();
                }
            }
        }
        Sleep(50);
    }
    return nullptr;
}
