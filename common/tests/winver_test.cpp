// Windows version flags and names, from the numbers and from the machine's reported version.
#include "common/winver.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/root.h"
#include "platform/test_root.h"

namespace {

std::string name(DWORD flags) {
    char* text = getWindowsName(flags);
    std::string s = text != nullptr ? text : "<null>";
    free(text);
    return s;
}

TEST(WindowsVersion, Classification) {
    const WORD x64 = PROCESSOR_ARCHITECTURE_AMD64, x86 = PROCESSOR_ARCHITECTURE_INTEL,
               ia64 = PROCESSOR_ARCHITECTURE_IA64;
    const BYTE ws = VER_NT_WORKSTATION, server = VER_NT_SERVER;
    struct {
        DWORD major, minor, build;
        BYTE type;
        WORD suite, arch;
        int serverR2;
        DWORD flags;
    } cases[] = {
        {5, 1, 2600, ws, 0, x86, 0, 0x100001},
        {5, 2, 3790, ws, 0, x64, 0, 0x200002},
        {5, 2, 3790, server, 0, x86, 0, 0x100004},
        {5, 2, 3790, server, 0x8000, x86, 1, 0x100008},
        {5, 2, 3790, server, 0, x64, 1, 0x200010},
        {6, 0, 6000, ws, 0, x86, 0, 0x100020},
        {6, 0, 6000, server, 0, x64, 0, 0x200040},
        {6, 1, 7601, server, 0, x64, 0, 0x200080},
        {6, 1, 7601, ws, 0, ia64, 0, 0x200100},
        {6, 2, 9200, server, 0, x64, 0, 0x200200},
        {6, 2, 9200, ws, 0, x64, 0, 0x200400},
        {6, 3, 9600, server, 0, x64, 0, 0x200800},
        {6, 3, 9600, ws, 0, x86, 0, 0x101000},
        {10, 0, 14393, server, 0, x64, 0, 0x202000},
        {10, 0, 21999, ws, 0, x64, 0, 0x204000},
        {10, 0, 22000, ws, 0, x64, 0, 0x208000},
        {5, 0, 2195, ws, 0, x86, 0, 0},
        {5, 3, 0, ws, 0, x86, 0, 0},
        {6, 4, 0, ws, 0, x64, 0, 0},
        {10, 1, 0, ws, 0, x64, 0, 0},
        {11, 0, 0, ws, 0, x64, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classifyWindowsVersion(c.major, c.minor, c.build, c.type, c.suite, c.arch, c.serverR2),
                  c.flags)
            << c.major << "." << c.minor << "." << c.build << " type " << int(c.type);
}

TEST(WindowsVersion, Names) {
    EXPECT_EQ(name(0x204000), "Windows10");
    EXPECT_EQ(name(0x208000), "Windows11");
    EXPECT_EQ(name(0x100001), "WindowsXP");
    EXPECT_EQ(name(0x1000), "Windows8.1");
    EXPECT_EQ(name(0x4000 | 0x20), "WindowsVista");  // the lowest edition bit names it
    EXPECT_EQ(name(0x100000), "UnknowOS");
    EXPECT_EQ(name(0), "UnknowOS");
}

#ifndef _WIN32
// The emulated machine is told which Windows it is.
TEST(WindowsVersion, ReportedByTheMachine) {
    platform::TestRoot root;
    struct {
        const char* windows;
        const char* arch;
        DWORD flags;
    } cases[] = {
        {"10", "x64", 0x204000}, {"11", "x64", 0x208000}, {"xp", "x86", 0x100001},
        {"7", "x86", 0x100100},  {"unknown", "x64", 0},
    };
    for (const auto& c : cases) {
        platform::setSetting("windows", c.windows);
        platform::setSetting("arch", c.arch);
        EXPECT_EQ(getWindowsVersionFlags(), c.flags) << c.windows << " " << c.arch;
    }
    DWORD major = 0, minor = 0, build = 0;
    platform::setSetting("windows", "11");
    ASSERT_TRUE(getKernel32Version(&major, &minor, &build));
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(minor, 0u);
    EXPECT_GE(build, 22000u);
    EXPECT_FALSE(getKernel32Version(nullptr, &minor, &build));
}
#else
// The real machine answers for itself. Wine's kernel32 carries 10.0.18362 whatever version its
// prefix claims, and the test prefix is a 32-bit workstation: Windows 10, 32-bit.
TEST(WindowsVersion, ReportedByTheMachine) {
    DWORD major = 0, minor = 0, build = 0;
    ASSERT_TRUE(getKernel32Version(&major, &minor, &build));
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(build, 18362u);
    EXPECT_FALSE(getKernel32Version(nullptr, &minor, &build));
    EXPECT_EQ(getWindowsVersionFlags(), 0x104000u);
    EXPECT_EQ(name(getWindowsVersionFlags()), "Windows10");
}
#endif

}  // namespace
