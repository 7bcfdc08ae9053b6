// A small program the platform tests start: it does one thing its arguments name, through the
// platform's calls, and writes what it saw into a file of the machine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/root.h"
#include "platform/win_base.h"

static void note(const char* winPath, const std::wstring& text) {
    FILE* f = winFopen(winPath, "wb");
    if (!f) return;
    std::fprintf(f, "%ls", text.c_str());
    std::fclose(f);
}

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    if (argc < 2) return 2;
    std::string verb = argv[1];
    if (verb == "exit" && argc >= 3) ExitProcess((UINT)std::strtoul(argv[2], nullptr, 10));
    if (verb == "cmdline" && argc >= 3) {
        // Arguments on their own lines, then the command line.
        std::wstring text;
        for (int i = 2; i < argc; ++i) {
            wchar_t w[1024];
            int n = MultiByteToWideChar(CP_UTF8, 0, argv[i], -1, w, 1024);
            text += (n > 0 ? std::wstring(w) : std::wstring(L"?")) + L"\n";
        }
        text += GetCommandLineW();
        note(argv[2], text);
        return 0;
    }
    if (verb == "sleep" && argc >= 3) {
        Sleep((DWORD)std::strtoul(argv[2], nullptr, 10));
        return 0;
    }
    if (verb == "mutex" && argc >= 4) {
        wchar_t name[256];
        MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, name, 256);
        HANDLE m = CreateMutexW(nullptr, FALSE, name);
        if (!m || WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0) return 3;
        note(argv[3], L"held");
        Sleep(120000);  // until killed; a test that fails early must not leave it behind for ever
        return 5;
    }
    if (verb == "churn" && argc >= 5) {
        // Opens, takes, releases and closes the mutex again and again, adding one to the counter
        // file while it holds it; a wait that does not give the mutex cleanly ends the run.
        wchar_t name[256];
        MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, name, 256);
        unsigned long rounds = std::strtoul(argv[3], nullptr, 10);
        for (unsigned long i = 0; i < rounds; ++i) {
            HANDLE m = CreateMutexW(nullptr, FALSE, name);
            if (!m) return 3;
            if (WaitForSingleObject(m, 20000) != WAIT_OBJECT_0) return 4;
            long count = 0;
            if (FILE* f = winFopen(argv[4], "rb")) {
                if (std::fscanf(f, "%ld", &count) != 1) count = 0;
                std::fclose(f);
            }
            FILE* f = winFopen(argv[4], "wb");
            if (!f) return 5;
            std::fprintf(f, "%ld", count + 1);
            std::fclose(f);
            if (!ReleaseMutex(m)) return 6;
            CloseHandle(m);
        }
        return 0;
    }
    if (verb == "waitevent" && argc >= 4) {
        wchar_t name[256];
        MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, name, 256);
        HANDLE e = OpenEventW(SYNCHRONIZE, FALSE, name);
        if (!e) return 3;
        note(argv[3], L"waiting");
        DWORD r = WaitForSingleObject(e, 60000);
        CloseHandle(e);
        note(argv[3], r == WAIT_OBJECT_0 ? L"woken" : L"timeout");
        return r == WAIT_OBJECT_0 ? 0 : 4;
    }
    return 2;
}
