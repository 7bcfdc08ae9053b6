// What the machine reports about itself: Windows version, time, user, environment, libraries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/win_base.h"
#include "test_util.h"

namespace {

// The kernel32.dll product version, read the way the system's detection reads it.
bool kernel32Version(DWORD& major, DWORD& minor, DWORD& build) {
    wchar_t sys[MAX_PATH];
    UINT n = GetSystemDirectoryW(sys, MAX_PATH);
    if (n == 0 || n > 246) return false;
    std::wstring path = std::wstring(sys) + L"\\kernel32.dll";
    DWORD handle = 1;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) return false;
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(path.c_str(), handle, size, block.data())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.data(), L"\\", (LPVOID*)&info, &len) || len < 52) return false;
    major = info->dwProductVersionMS >> 16;
    minor = info->dwProductVersionMS & 0xFFFF;
    build = info->dwProductVersionLS >> 16;
    return true;
}

TEST(Version, SettingsNameTheReportedWindows) {
    platform::TestRoot root;
    struct Case {
        const char* windows;
        DWORD major, minor, build;
        BYTE productType;
    };
    const Case cases[] = {
        {nullptr, 10, 0, 19045, VER_NT_WORKSTATION},  // the default
        {"xp", 5, 1, 2600, VER_NT_WORKSTATION},      {"vista", 6, 0, 6002, VER_NT_WORKSTATION},
        {"7", 6, 1, 7601, VER_NT_WORKSTATION},       {"8", 6, 2, 9200, VER_NT_WORKSTATION},
        {"8.1", 6, 3, 9600, VER_NT_WORKSTATION},     {"11", 10, 0, 22631, VER_NT_WORKSTATION},
        {"server2016", 10, 0, 14393, VER_NT_SERVER}, {"unknown", 4, 0, 1381, VER_NT_WORKSTATION},
    };
    for (const auto& c : cases) {
        if (c.windows) platform::setSetting("windows", c.windows);
        DWORD major = 0, minor = 0, build = 0;
        ASSERT_TRUE(kernel32Version(major, minor, build)) << c.windows;
        EXPECT_EQ(c.major, major) << c.windows;
        EXPECT_EQ(c.minor, minor) << c.windows;
        EXPECT_EQ(c.build, build) << c.windows;
        OSVERSIONINFOEXW v{};
        v.dwOSVersionInfoSize = sizeof v;
        ASSERT_TRUE(GetVersionExW(&v));
        EXPECT_EQ(c.productType, v.wProductType) << c.windows;
        // From 8.1 on an unmanifested program is told 6.2, which is why the file version counts.
        bool heldBack = c.major == 10 || (c.major == 6 && c.minor == 3);
        EXPECT_EQ(heldBack ? 6u : c.major, v.dwMajorVersion) << c.windows;
        EXPECT_EQ(heldBack ? 2u : c.minor, v.dwMinorVersion) << c.windows;
    }
    EXPECT_EQ(0, GetSystemMetrics(SM_SERVERR2));
    platform::setSetting("windows", "11");
    platform::setSetting("build", "22000");
    DWORD major, minor, build;
    ASSERT_TRUE(kernel32Version(major, minor, build));
    EXPECT_EQ(22000u, build);
    OSVERSIONINFOEXW small{};
    small.dwOSVersionInfoSize = 8;
    EXPECT_FALSE(GetVersionExW(&small));
}

TEST(Version, ArchitectureSetting) {
    platform::TestRoot root;
    SYSTEM_INFO si;
    GetNativeSystemInfo(&si);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_AMD64, si.wProcessorArchitecture);
    platform::setSetting("arch", "x86");
    GetNativeSystemInfo(&si);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_INTEL, si.wProcessorArchitecture);
    EXPECT_GE(si.dwNumberOfProcessors, 1u);
}

TEST(Time, ClockOffsetMovesEveryClock) {
    platform::TestRoot root;
    time_t before = winTime(nullptr);
    DWORD tickBefore = GetTickCount();
    SYSTEMTIME st;
    GetSystemTime(&st);
    int dayBefore = st.wDay;
    platform::setSetting("clock_offset_ms", std::to_string(2LL * 86400 * 1000));
    time_t after;
    EXPECT_EQ(winTime(&after), after);
    EXPECT_NEAR(2.0 * 86400, (double)(after - before), 600.0);
    EXPECT_NEAR(2.0 * 86400 * 1000, (double)(DWORD)(GetTickCount() - tickBefore), 600.0 * 1000);
    GetSystemTime(&st);
    EXPECT_NE(dayBefore, st.wDay);
    GetLocalTime(&st);
    EXPECT_LT(st.wMilliseconds, 1000);
    struct tm tm;
    ASSERT_TRUE(winLocalTime(after, &tm));
    EXPECT_EQ(st.wYear, tm.tm_year + 1900);
    platform::setSetting("clock_offset_ms", "-1000");
    EXPECT_LE(winTime(nullptr), before + 600);
}

TEST(User, NameAndWindowsEnvironment) {
    platform::TestRoot root;
    wchar_t name[64];
    DWORD size = 64;
    ASSERT_TRUE(GetUserNameW(name, &size));
    EXPECT_STREQ(L"User", name);
    EXPECT_EQ(5u, size);
    platform::setSetting("user", "Bob");
    size = 3;
    EXPECT_FALSE(GetUserNameW(name, &size));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(4u, size);

    wchar_t value[MAX_PATH];
    EXPECT_EQ(2u, GetEnvironmentVariableW(L"HOMEDRIVE", value, MAX_PATH));
    EXPECT_STREQ(L"C:", value);
    EXPECT_EQ(10u, GetEnvironmentVariableW(L"homepath", value, MAX_PATH));
    EXPECT_STREQ(L"\\Users\\Bob", value);
    EXPECT_EQ(11u, GetEnvironmentVariableW(L"HOMEPATH", value, 4));  // the size needed
    EXPECT_EQ(0u, GetEnvironmentVariableW(L"KVLB_NO_SUCH_VARIABLE", value, MAX_PATH));
    EXPECT_EQ(ERROR_ENVVAR_NOT_FOUND, GetLastError());

    char out[MAX_PATH];
    DWORD n = ExpandEnvironmentStringsA("%HOMEDRIVE%%HOMEPATH%\\KVLBTessarion.ini", out, MAX_PATH);
    EXPECT_STREQ("C:\\Users\\Bob\\KVLBTessarion.ini", out);
    EXPECT_EQ(std::strlen(out) + 1, n);
    ExpandEnvironmentStringsA("%HOMEDRIVE%\\tmp\\%NO_SUCH%x%", out, MAX_PATH);
    EXPECT_STREQ("C:\\tmp\\%NO_SUCH%x%", out);
    wchar_t w[8];
    EXPECT_EQ(std::wcslen(L"C:\\Users\\Bob") + 1, ExpandEnvironmentStringsW(L"%HOMEDRIVE%%HOMEPATH%", w, 8));
}

TEST(Library, TwoCopiesAreIndependent) {
    platform::TestRoot root;
    std::wstring src = L"Z:" + testutil::wide(KVLB_TEST_DIR "/libkvlb_test_lib.so");
    for (auto& c : src)
        if (c == L'/') c = L'\\';
    CreateDirectoryW(L"C:\\KVLB", nullptr);
    CreateDirectoryW(L"C:\\Session_1", nullptr);
    ASSERT_TRUE(CopyFileW(src.c_str(), L"C:\\KVLB\\KvlbTokenAdapter.dll", FALSE));
    ASSERT_TRUE(CopyFileW(L"C:\\KVLB\\KvlbTokenAdapter.dll", L"C:\\Session_1\\KvlbTokenAdapter.dll", TRUE));
    HMODULE a = LoadLibraryW(L"C:\\KVLB\\KvlbTokenAdapter.dll");
    HMODULE b = LoadLibraryW(L"c:\\session_1\\kvlbtokenadapter.dll");
    ASSERT_TRUE(a && b);
    using Bump = int (*)();
    Bump ba = (Bump)GetProcAddress(a, "kvlbBump");
    Bump bb = (Bump)GetProcAddress(b, "kvlbBump");
    ASSERT_TRUE(ba && bb);
    EXPECT_EQ(1, ba());
    EXPECT_EQ(2, ba());
    EXPECT_EQ(1, bb());
    EXPECT_EQ(nullptr, GetProcAddress(a, "noSuchExport"));
    EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(b, path, MAX_PATH), 0u);
    EXPECT_STREQ(L"C:\\Session_1\\KvlbTokenAdapter.dll", path);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_FALSE(FreeLibrary(b));
    EXPECT_EQ(nullptr, LoadLibraryW(L"C:\\KVLB\\Missing.dll"));
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
    testutil::spit(root.c("KVLB/Broken.dll"), "not a library");
    EXPECT_EQ(nullptr, LoadLibraryW(L"C:\\KVLB\\Broken.dll"));
    EXPECT_EQ(ERROR_BAD_EXE_FORMAT, GetLastError());
}

TEST(Random, FillsTheBuffer) {
    unsigned char a[32] = {0}, b[32] = {0};
    ASSERT_TRUE(RtlGenRandom(a, sizeof a));
    ASSERT_TRUE(RtlGenRandom(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
    EXPECT_TRUE(RtlGenRandom(a, 0));
}

}  // namespace
