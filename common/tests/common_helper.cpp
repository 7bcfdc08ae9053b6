// Helper process for the common tests. Modes:
//   exit <code>                          ends with that exit code
//   mutex <name> <marker> <go>           takes the per-user mutex, creates the host file <marker>,
//                                        waits for the host file <go>, ends without releasing
//   write <ini> <tag> <count> <padding>  sets the log writer up from the ini, writes <count> records
//   setlog <tag>                         runs setLog; exit code 0 when it switched logging on
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <filesystem>

#include "common/log.h"
#include "common/log_writer.h"
#include "common/system.h"
#include "platform/root.h"
#include "platform/test_support.h"

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    if (argc < 2) return 100;
    std::string mode = argv[1];
    if (mode == "exit" && argc == 3) return atoi(argv[2]);
    if (mode == "mutex" && argc == 5) {
        HANDLE held = getMutexLock(argv[2], 0);
        if (held == nullptr) return 2;
        FILE* marker = fopen(argv[3], "w");
        if (marker != nullptr) fclose(marker);
        test_support::pollUntil([&] { return std::filesystem::exists(argv[4]); });
        std::_Exit(0);  // ends without releasing: the next owner sees it abandoned
    }
    if (mode == "write" && argc == 6) {
        if (initLogFromIni("KVLBTessarion", argv[2]) != 0) return 3;
        int count = atoi(argv[4]);
        std::string padding(static_cast<size_t>(atoi(argv[5])), 'x');
        for (int i = 0; i < count; ++i) writeLogLine(5, "%s record %d %s end", argv[3], i, padding.c_str());
        return 0;
    }
    if (mode == "setlog" && argc == 3) {
        return setLog(argv[2]) ? 0 : 1;
    }
    return 100;
}
