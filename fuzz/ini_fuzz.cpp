// The log ini reader on arbitrary file contents: the three lookups the writer makes, and the line
// tests on arbitrary lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log_writer.h"
#include "platform/root.h"

namespace {
std::string iniHostPath;
std::string rootFolder;
void removeRoot() {
    std::error_code ec;
    std::filesystem::remove_all(rootFolder, ec);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char folder[] = "/tmp/kvlb-ini-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) abort();
    setenv("KVLB_ROOT", folder, 1);
    rootFolder = folder;
    atexit(removeRoot);
    std::string c = platform::rootDir() + "/c";
    mkdir(c.c_str(), 0700);
    iniHostPath = c + "/fuzz.ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fopen(iniHostPath.c_str(), "wb");
    if (f == nullptr) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    const struct {
        const char* key;
        int size;
    } lookups[] = {
        {"Log File", 128}, {"Log MaxSize", 64}, {"Log Level", 16}, {"Log Level", 1}, {"Log Level", 2}};
    for (const auto& l : lookups) {
        char out[128];
        memset(out, 0x55, sizeof out);
        int status = getProfileString("KVLBTessarion", l.key, out, l.size, "C:\\fuzz.ini");
        if (status != 0 && status != 101 && status != 102 && status != 103) abort();
        if (strnlen(out, static_cast<size_t>(l.size)) >= static_cast<size_t>(l.size)) abort();
    }

    std::string line(reinterpret_cast<const char*>(data), size);
    line = line.c_str();  // up to the first NUL, as a line read from the file would be
    isProfileSection(line.c_str(), nullptr);
    isProfileSection(line.c_str(), "KVLBTessarion");
    const char* value = nullptr;
    if (matchProfileKey(line.c_str(), "Log File", &value)) {
        std::string copy(value);
        size_t before = copy.size();
        cleanProfileValue(copy.data());
        if (strlen(copy.c_str()) > before) abort();
    }
    return 0;
}
