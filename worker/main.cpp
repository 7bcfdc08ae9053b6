// KVLBTessarionWorker.exe: the program entry hands the command line without the program name,
// as Windows gives it to a program's WinMain, to the worker body.
#include <cstdlib>
#include <cwchar>

#include "platform/root.h"
#include "platform/win_base.h"
#include "worker/worker.h"

namespace {

// Skips the program name (quoted or up to the first blank) and the blanks after it.
const wchar_t* argumentsOf(const wchar_t* line) {
    if (line == nullptr) return L"";
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    const wchar_t* arguments = argumentsOf(GetCommandLineW());
    int n = WideCharToMultiByte(CP_UTF8, 0, arguments, -1, nullptr, 0, nullptr, nullptr);
    char* commandLine = static_cast<char*>(calloc(n > 0 ? static_cast<size_t>(n) + 1 : 1, 1));
    if (commandLine == nullptr) return 1;
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, arguments, -1, commandLine, n, nullptr, nullptr);
    int code = workerMain(commandLine);
    free(commandLine);
    // kResultBadArguments (61005) does not fit a host exit status; ExitProcess keeps it for the parent.
    ExitProcess(static_cast<UINT>(code));
}
