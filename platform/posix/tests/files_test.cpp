// Windows paths on the machine, its folders, and the file calls.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/win_base.h"
#include "test_util.h"

namespace {

using testutil::slurp;
using testutil::spit;

std::string host(const wchar_t* path) {
    char out[4096];
    return winPathToHost(path, out, sizeof out) ? std::string(out) : std::string("<none>");
}

TEST(Paths, DrivesAndSeparators) {
    platform::TestRoot root;
    EXPECT_EQ(root.c("ProgramData/x"), host(L"C:\\ProgramData\\x"));
    EXPECT_EQ(root.c("ProgramData/x"), host(L"c:/ProgramData//x"));
    EXPECT_EQ(root.c("a"), host(L"C:\\b\\..\\a\\."));
    EXPECT_EQ(root.c(""), host(L"C:\\..\\..") + "/");
    EXPECT_EQ("/etc/hostname", host(L"Z:\\etc\\hostname"));
    EXPECT_EQ(root.path() + "/d/x", host(L"D:\\x"));
    EXPECT_EQ("/dev/null", host(L"nul"));
    EXPECT_EQ("<none>", host(L"\\\\server\\share"));
    EXPECT_EQ(root.c("dir/name"), host(L"C:\\dir.\\name. "));  // trailing dots and blanks go
    // Characters Windows forbids in names are refused, not made into host files.
    for (const wchar_t* bad : {L"C:\\a*b", L"C:\\a?b", L"C:\\a|b", L"C:\\x\\a\"b", L"C:\\a<b", L"C:\\a:b"}) {
        EXPECT_EQ("<none>", host(bad));
        EXPECT_FALSE(CreateDirectoryW(bad, nullptr));
        EXPECT_EQ(ERROR_INVALID_NAME, GetLastError());
    }
    // Too small a buffer is a refusal, not a cut path.
    char tiny[4];
    EXPECT_FALSE(winPathToHost(L"C:\\ProgramData", tiny, sizeof tiny));
}

TEST(Paths, LookupIgnoresCaseAndKeepsIt) {
    platform::TestRoot root;
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Data", nullptr));
    FILE* f = _wfopen(L"C:\\Data\\Readme.TXT", L"wb");
    ASSERT_NE(nullptr, f);
    std::fputs("x", f);
    std::fclose(f);
    EXPECT_EQ(root.c("Data/Readme.TXT"), host(L"c:\\DATA\\readme.txt"));
    // A new name under an existing folder keeps the folder's case and its own.
    EXPECT_EQ(root.c("Data/NewFile.txt"), host(L"C:\\data\\NewFile.txt"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\DATA\\README.txt"));
    // Creating a folder that differs only in case finds the existing one.
    EXPECT_FALSE(CreateDirectoryW(L"C:\\DATA", nullptr));
    EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
}

TEST(Folders, MachineFolders) {
    platform::TestRoot root;
    platform::setSetting("user", "Alice");
    wchar_t buf[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buf));
    EXPECT_STREQ(L"C:\\ProgramData", buf);
    EXPECT_EQ(10u, GetWindowsDirectoryW(buf, MAX_PATH));
    EXPECT_STREQ(L"C:\\Windows", buf);
    EXPECT_EQ(19u, GetSystemDirectoryW(buf, MAX_PATH));
    EXPECT_STREQ(L"C:\\Windows\\System32", buf);
    // Too small: the size needed, with its NUL.
    EXPECT_EQ(20u, GetSystemDirectoryW(buf, 5));
    DWORD n = GetTempPathW(MAX_PATH, buf);
    EXPECT_STREQ(L"C:\\Users\\Alice\\AppData\\Local\\Temp\\", buf);
    EXPECT_EQ(std::wcslen(buf), n);
    struct stat st;
    EXPECT_EQ(0, stat(root.c("Users/Alice/AppData/Local/Temp").c_str(), &st));
    wchar_t exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    EXPECT_EQ(0, std::wcsncmp(exe, L"Z:\\", 3));
    EXPECT_NE(nullptr, std::wcsstr(exe, L"platform_files_test"));
}

TEST(Files, CopyDeleteMoveAndAttributes) {
    platform::TestRoot root;
    spit(root.c("a.dll"), "one");
    ASSERT_TRUE(CopyFileW(L"C:\\a.dll", L"C:\\b.dll", TRUE));
    EXPECT_EQ("one", slurp(root.c("b.dll")));
    // Fail-if-exists leaves the target alone.
    spit(root.c("a.dll"), "two");
    EXPECT_FALSE(CopyFileW(L"C:\\a.dll", L"C:\\b.dll", TRUE));
    EXPECT_EQ(ERROR_FILE_EXISTS, GetLastError());
    EXPECT_EQ("one", slurp(root.c("b.dll")));
    EXPECT_TRUE(CopyFileW(L"C:\\a.dll", L"C:\\b.dll", FALSE));
    EXPECT_EQ("two", slurp(root.c("b.dll")));
    // A copy onto itself must not truncate the file.
    EXPECT_FALSE(CopyFileW(L"C:\\a.dll", L"C:\\A.DLL", FALSE));
    EXPECT_EQ("two", slurp(root.c("a.dll")));
    EXPECT_FALSE(CopyFileW(L"C:\\missing.dll", L"C:\\c.dll", FALSE));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());

    EXPECT_FALSE(MoveFileW(L"C:\\a.dll", L"C:\\b.dll"));
    EXPECT_TRUE(MoveFileW(L"C:\\a.dll", L"C:\\moved.dll"));

    // Hidden travels with the file; read-only guards it from deletion.
    ASSERT_TRUE(SetFileAttributesW(L"C:\\b.dll", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, GetFileAttributesW(L"C:\\b.dll"));
    ASSERT_TRUE(CopyFileW(L"C:\\b.dll", L"C:\\copy.dll", FALSE));
    EXPECT_TRUE(GetFileAttributesW(L"C:\\copy.dll") & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(DeleteFileW(L"C:\\b.dll"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    ASSERT_TRUE(SetFileAttributesW(L"C:\\b.dll", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, GetFileAttributesW(L"C:\\b.dll"));
    EXPECT_TRUE(DeleteFileW(L"C:\\b.dll"));

    // Missing file and missing folder are told apart.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\b.dll"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\nowhere\\b.dll"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(L"C:\\Windows"));

    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    spit(root.c("dir/f"), "x");
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\dir"));
    EXPECT_EQ(ERROR_DIR_NOT_EMPTY, GetLastError());
    EXPECT_FALSE(DeleteFileW(L"C:\\dir"));
    EXPECT_FALSE(CreateDirectoryW(L"C:\\no\\such", nullptr));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
}

std::set<std::wstring> findAll(const wchar_t* pattern, DWORD* error = nullptr) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(pattern, &d);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = GetLastError();
        return names;
    }
    do names.insert(d.cFileName);
    while (FindNextFileW(h, &d));
    EXPECT_EQ(ERROR_NO_MORE_FILES, GetLastError());
    FindClose(h);
    return names;
}

TEST(Files, FindFirstFileWildcards) {
    platform::TestRoot root;
    CreateDirectoryW(L"C:\\f", nullptr);
    CreateDirectoryW(L"C:\\f\\sub", nullptr);
    for (const char* n : {"a.dll", "B.DLL", "c.txt", "dll"}) spit(root.c(std::string("f/") + n), n);
    using S = std::set<std::wstring>;
    EXPECT_EQ((S{L"a.dll", L"B.DLL"}), findAll(L"C:\\f\\*.dll"));
    EXPECT_EQ((S{L".", L"..", L"a.dll", L"B.DLL", L"c.txt", L"dll", L"sub"}), findAll(L"C:\\F\\*"));
    EXPECT_EQ((S{L"a.dll", L"B.DLL"}), findAll(L"C:\\f\\?.dll"));
    EXPECT_EQ((S{L"a.dll"}), findAll(L"C:\\f\\A?dll"));
    EXPECT_EQ((S{L"c.txt"}), findAll(L"C:\\f\\C.TXT"));
    DWORD err = 0;
    EXPECT_TRUE(findAll(L"C:\\f\\sub\\*.dll", &err).empty());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, err);
    EXPECT_TRUE(findAll(L"C:\\missing\\*", &err).empty());
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, err);
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(L"C:\\f\\a.dll", &d);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(5u, d.nFileSizeLow);
    EXPECT_FALSE(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    FindClose(h);
}

TEST(Files, TextModeWritesCrLfAndReadsLines) {
    platform::TestRoot root;
    FILE* f = _wfopen(L"C:\\t.txt", L"w");
    ASSERT_NE(nullptr, f);
    std::fprintf(f, "one\ntwo %d\n", 2);
    std::fclose(f);
    EXPECT_EQ("one\r\ntwo 2\r\n", slurp(root.c("t.txt")));
    f = winFopen("C:\\t.txt", "a");
    std::fputs("three\n", f);
    std::fclose(f);
    EXPECT_EQ("one\r\ntwo 2\r\nthree\r\n", slurp(root.c("t.txt")));

    // Reading folds CR LF, keeps a lone CR, and a CR LF split across reads.
    std::string big(5000, 'x');
    spit(root.c("r.txt"), "a\r\nb\rc\r\n" + big + "\r\nend");
    f = _wfopen(L"C:\\r.txt", L"rt");
    ASSERT_NE(nullptr, f);
    std::string all;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f)) all += buf;
    std::fclose(f);
    EXPECT_EQ("a\nb\rc\n" + big + "\nend", all);
    // A CR LF on the boundary of the stream's own buffer reads as one line feed.
    for (size_t pad : {4095u, 4096u, 8191u}) {
        spit(root.c("edge.txt"), std::string(pad, 'y') + "\r\nz");
        f = _wfopen(L"C:\\edge.txt", L"r");
        std::string got;
        int c;
        while ((c = std::fgetc(f)) != EOF) got += (char)c;
        std::fclose(f);
        EXPECT_EQ(std::string(pad, 'y') + "\nz", got) << pad;
    }

    // Binary mode leaves bytes alone.
    f = _wfopen(L"C:\\b.bin", L"wb");
    std::fputs("x\n", f);
    std::fclose(f);
    EXPECT_EQ("x\n", slurp(root.c("b.bin")));
    EXPECT_EQ(nullptr, _wfopen(L"C:\\missing\\x.txt", L"w"));
    EXPECT_EQ(nullptr, _wfopen(L"C:\\nothing.txt", L"r"));
    EXPECT_EQ(nullptr, _wfopen(L"C:\\t.txt", L"q"));
    EXPECT_EQ(0, _wremove(L"C:\\t.txt"));
    EXPECT_EQ(-1, _wremove(L"C:\\t.txt"));
}

}  // namespace
