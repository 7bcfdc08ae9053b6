// Windows edition detection from the version numbers of kernel32.dll, which are not held back the
// way the numbers reported to a program can be.
#include "common/winver.h"

#include <cstdlib>
#include <cwchar>

#include "common/text.h"

namespace {

const char* const kEditionNames[16] = {
    "WindowsXP",    "WindowsXPx64",        "WindowsServer2003",   "WindowsHomeServer", "WindowsServer2003R2",
    "WindowsVista", "WindowsServer2008",   "WindowsServer2008R2", "Windows7",          "WindowsServer2012",
    "Windows8",     "WindowsServer2012R2", "Windows8.1",          "WindowsServer2016", "Windows10",
    "Windows11",
};

}  // namespace

bool getKernel32Version(DWORD* major, DWORD* minor, DWORD* build) {
    if (major == nullptr || minor == nullptr || build == nullptr) return false;
    wchar_t path[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n > 246) return false;
    wcscat(path, L"\\kernel32.dll");
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return false;
    void* block = calloc(1, size);
    if (block == nullptr) return false;
    bool filled = false;
    void* value = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoW(path, 0, size, block) && VerQueryValueW(block, L"\\", &value, &length) &&
        value != nullptr && length >= sizeof(VS_FIXEDFILEINFO)) {
        const VS_FIXEDFILEINFO* info = static_cast<const VS_FIXEDFILEINFO*>(value);
        *major = info->dwProductVersionMS >> 16;
        *minor = info->dwProductVersionMS & 0xFFFFu;
        *build = info->dwProductVersionLS >> 16;
        filled = true;
    }
    free(block);
    return filled;
}

DWORD classifyWindowsVersion(DWORD major, DWORD minor, DWORD build, BYTE productType, WORD suiteMask,
                             WORD processorArchitecture, int serverR2) {
    bool workstation = productType == VER_NT_WORKSTATION;
    bool wide = processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                processorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
    DWORD edition = 0;
    if (major == 5 && minor == 1) {
        edition = WINVER_XP;
    } else if (major == 5 && minor == 2) {
        if (workstation && processorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
            return WINVER_XP_X64 | WINVER_64BIT;
        if (serverR2 == 0)
            edition = WINVER_SERVER_2003;
        else if (suiteMask & 0x8000u)
            edition = WINVER_HOME_SERVER;
        else
            edition = WINVER_SERVER_2003_R2;
    } else if (major == 6 && minor == 0) {
        edition = workstation ? WINVER_VISTA : WINVER_SERVER_2008;
    } else if (major == 6 && minor == 1) {
        edition = workstation ? WINVER_7 : WINVER_SERVER_2008_R2;
    } else if (major == 6 && minor == 2) {
        edition = workstation ? WINVER_8 : WINVER_SERVER_2012;
    } else if (major == 6 && minor == 3) {
        edition = workstation ? WINVER_8_1 : WINVER_SERVER_2012_R2;
    } else if (major == 10 && minor == 0) {
        edition = !workstation ? WINVER_SERVER_2016 : (build >= 22000 ? WINVER_11 : WINVER_10);
    }
    if (edition == 0) return 0;
    return edition | (wide ? WINVER_64BIT : WINVER_32BIT);
}

DWORD getWindowsVersionFlags() {
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return 0;
    DWORD major = version.dwMajorVersion, minor = version.dwMinorVersion, build = version.dwBuildNumber;
    getKernel32Version(&major, &minor, &build);
    int serverR2 = (major == 5 && minor == 2) ? GetSystemMetrics(SM_SERVERR2) : 0;
    return classifyWindowsVersion(major, minor, build, version.wProductType, version.wSuiteMask,
                                  system.wProcessorArchitecture, serverR2);
}

char* getWindowsName(DWORD flags) {
    for (int bit = 0; bit < 16; ++bit) {
        if (flags & (1u << bit)) return copyString(kEditionNames[bit]);
    }
    return copyString("UnknowOS");
}
