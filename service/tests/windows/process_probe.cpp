// Reads a running process's handle count and memory the way Windows counts them, from another
// process: GetProcessHandleCount, the entries the system's handle table lists for the process
// (NtQuerySystemInformation), and GetProcessMemoryInfo's PrivateUsage, PagefileUsage (both the
// commit charge, the private bytes, by Windows' own account) and working set. The check of the
// installed set under load runs it under Wine, which answers 0 for GetProcessHandleCount and
// PrivateUsage but fills the other readings.
// One line per process,
//   pid=<id> handles=<n> entries=<n> private=<bytes> pagefile=<bytes> workingset=<bytes>
// (entries -1 when the handle table cannot be read); the exit code is 1 when no such process runs
// or one could not be read.
//
//   process_probe --pid <process id>
//   process_probe --image <file name>      every process running that program (case ignored)
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

using QuerySystem = NTSTATUS(WINAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
const ULONG kSystemHandleInformation = 16;
const NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

// The handles the system's handle table lists for the process; -1 when the table cannot be read.
long tableHandles(DWORD pid) {
    auto query = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> table(1 << 16);
    for (int round = 0; query && round < 12; ++round) {
        ULONG needed = 0;
        NTSTATUS status = query(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemHandleInformation), table.data(),
                                ULONG(table.size()), &needed);
        if (status == kLengthMismatch) {
            table.resize(std::max<size_t>(table.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) break;
        auto* info = reinterpret_cast<SYSTEM_HANDLE_INFORMATION*>(table.data());
        long n = 0;
        for (ULONG k = 0; k < info->Count; ++k) n += info->Handle[k].OwnerPid == pid;
        return n;
    }
    return -1;
}

bool report(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        std::fprintf(stderr, "process %lu cannot be opened: error %lu\n", pid, GetLastError());
        return false;
    }
    DWORD handles = 0;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    bool read =
        GetProcessHandleCount(process, &handles) &&
        GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    DWORD error = GetLastError();
    CloseHandle(process);
    if (!read) {
        std::fprintf(stderr, "process %lu cannot be read: error %lu\n", pid, error);
        return false;
    }
    std::printf("pid=%lu handles=%lu entries=%ld private=%lu pagefile=%lu workingset=%lu\n", pid, handles,
                tableHandles(pid), static_cast<unsigned long>(memory.PrivateUsage),
                static_cast<unsigned long>(memory.PagefileUsage),
                static_cast<unsigned long>(memory.WorkingSetSize));
    return true;
}

std::vector<DWORD> running(const wchar_t* image) {
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, image) == 0) found.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<DWORD> pids;
    if (argc == 3 && std::wcscmp(argv[1], L"--pid") == 0) {
        pids.push_back(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    } else if (argc == 3 && std::wcscmp(argv[1], L"--image") == 0) {
        pids = running(argv[2]);
        if (pids.empty()) {
            std::fprintf(stderr, "no process runs %ls\n", argv[2]);
            return 1;
        }
    } else {
        std::fprintf(stderr, "usage: process_probe --pid <id> | --image <file name>\n");
        return 2;
    }
    bool all = true;
    for (DWORD pid : pids) all = report(pid) && all;
    std::fflush(stdout);
    return all ? 0 : 1;
}
