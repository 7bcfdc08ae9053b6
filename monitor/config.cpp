// The monitor's settings file "KVLBTessarionConfig" in the service's data folder: three
// "key=true|false" lines, read once at start-up and rewritten whenever a setting changes.
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/system.h"
#include "common/text.h"
#include "monitor/monitor.h"

std::atomic<unsigned char> isScreenShot{0};
std::atomic<unsigned char> silentmode{0};
std::atomic<unsigned char> autocheckupdate{1};
wchar_t configPath[kMonitorText];

namespace {

struct Setting {
    const char* key;
    std::atomic<unsigned char>* flag;
};
const Setting kSettings[] = {
    {"isScreenShot", &isScreenShot},
    {"silentmode", &silentmode},
    {"autocheckupdate", &autocheckupdate},
};

// Plain substring search; "=false" wins over "=true". False when the key is missing.
bool readSetting(const char* text, const Setting& s) {
    char pattern[64];
    snprintf(pattern, sizeof pattern, "%s=false", s.key);
    if (strstr(text, pattern) != nullptr) {
        s.flag->store(0);
        return true;
    }
    snprintf(pattern, sizeof pattern, "%s=true", s.key);
    if (strstr(text, pattern) != nullptr) {
        s.flag->store(1);
        return true;
    }
    return false;
}

}  // namespace

char* buildConfigText() {
    char* text = static_cast<char*>(allocZeroed(kMonitorText));
    if (text == nullptr) return nullptr;
    for (auto& s : kSettings) {
        appendBounded(text, s.key);
        appendBounded(text, s.flag->load() ? "=true\n" : "=false\n");
    }
    return text;
}

void writeConfigFile() {
    char* text = buildConfigText();
    if (text != nullptr) writeTextFile(configPath, text);
    free(text);
}

void readConfigFile() {
    char* text = readWholeFile(configPath);
    if (text == nullptr || text[0] == '\0') {
        free(text);
        writeConfigFile();
        return;
    }
    bool missing = false;
    for (auto& s : kSettings)
        if (!readSetting(text, s)) missing = true;
    free(text);
    if (missing) writeConfigFile();
}
