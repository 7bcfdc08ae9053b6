// A stand-in for the worker program, for the transport tests: each start appends its arguments,
// one line per start, to KVLBTessarionWorker.args beside the program.
#include <cstdio>
#include <string>

#include "platform/root.h"
#include "platform/test_process.h"
#include "platform/win_base.h"

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    wchar_t self[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    std::string path = test_support::hostPath(self);
    path = path.substr(0, path.find_last_of("/\\") + 1) + "KVLBTessarionWorker.args";
    FILE* f = fopen(path.c_str(), "ab");
    if (f == nullptr) return 1;
    for (int i = 1; i < argc; ++i) fprintf(f, i > 1 ? " %s" : "%s", argv[i]);
    fprintf(f, "\n");
    fclose(f);
    return 0;
}
