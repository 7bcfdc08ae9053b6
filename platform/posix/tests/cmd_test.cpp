// The machine's cmd: pipelines, redirections and the tools the programs run through it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/test_root.h"
#include "platform/win_base.h"
#include "test_util.h"

namespace {

using testutil::run;
using testutil::slurp;
using testutil::spit;

// A listening socket on 127.0.0.1 with a port the kernel picks.
struct Listener {
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr*)&a, sizeof a);
        listen(fd, 1);
        socklen_t len = sizeof a;
        getsockname(fd, (sockaddr*)&a, &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd;
    int port;
};

TEST(Cmd, NetstatThroughFindSeesAListenerUntilItCloses) {
    platform::TestRoot root;
    Listener l;
    std::wstring scan = L"cmd /c netstat -n -a | find \"127.0.0.1\" > C:\\ProgramData\\TessarionTemp";
    ASSERT_EQ(0, run(scan));
    std::string text = slurp(root.c("ProgramData/TessarionTemp"));
    std::string address = "127.0.0.1:" + std::to_string(l.port);
    // The Windows four-column form, CR LF ended.
    char row[128];
    std::snprintf(row, sizeof row, "  TCP    %-23s0.0.0.0:0              LISTENING\r\n", address.c_str());
    EXPECT_NE(std::string::npos, text.find(row)) << text;
    l.close();
    run(scan);
    EXPECT_EQ(std::string::npos, slurp(root.c("ProgramData/TessarionTemp")).find(address + " "));
}

TEST(Cmd, FindAnswersOneWhenNothingMatches) {
    platform::TestRoot root;
    EXPECT_EQ(1, run(L"cmd /c netstat -n -a | find \"no such text\" > C:\\out.txt"));
    EXPECT_EQ("", slurp(root.c("out.txt")));
    spit(root.c("in.txt"), "alpha\r\nBeta\r\ngamma\r\n");
    EXPECT_EQ(0, run(L"cmd /c find /I \"beta\" < C:\\in.txt > C:\\out.txt"));
    EXPECT_EQ("Beta\r\n", slurp(root.c("out.txt")));
    EXPECT_EQ(0, run(L"cmd /c find /V \"alpha\" C:\\in.txt > C:\\out.txt"));
    EXPECT_EQ("\r\n---------- C:\\IN.TXT\r\nBeta\r\ngamma\r\n", slurp(root.c("out.txt")));
    EXPECT_EQ(1, run(L"cmd /c find \"x\" C:\\missing.txt"));
}

TEST(Cmd, BreakCreatesAnEmptyFile) {
    platform::TestRoot root;
    CreateDirectoryW(L"C:\\Data Dir", nullptr);
    EXPECT_EQ(0, run(L"cmd /c break>\"C:\\Data Dir\\version.txt\""));
    EXPECT_EQ(0u, GetFileAttributesW(L"C:\\Data Dir\\version.txt") & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ("", slurp(root.c("Data Dir/version.txt")));
    EXPECT_EQ(1, run(L"cmd /c break>\"C:\\no such dir\\v.txt\""));
}

TEST(Cmd, DelOfVisibleAndOfHiddenFiles) {
    platform::TestRoot root;
    CreateDirectoryW(L"C:\\d", nullptr);
    for (const char* n : {"a.dll", "b.DLL", "h.dll", "keep.txt"}) spit(root.c(std::string("d/") + n), "x");
    ASSERT_TRUE(SetFileAttributesW(L"C:\\d\\h.dll", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(0, run(L"cmd /c del /Q C:\\d\\*.dll"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\d\\a.dll"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\d\\b.dll"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\d\\h.dll"));  // hidden ones stay
    EXPECT_EQ(0, run(L"cmd /c del /A:H /Q C:\\d\\*.dll"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\d\\h.dll"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\d\\keep.txt"));
    // Nothing to delete is said in words, not in the exit code.
    EXPECT_EQ(0, run(L"cmd /c del /Q C:\\d\\*.dll 2> C:\\err.txt"));
    EXPECT_NE(std::string::npos, slurp(root.c("err.txt")).find("Could Not Find"));
}

TEST(Cmd, RmdirOfATree) {
    platform::TestRoot root;
    spit(root.c("Tempfile/Session_0/copy.dll"), "x");
    spit(root.c("Tempfile/top.txt"), "x");
    EXPECT_EQ(0, run(L"cmd /c rmdir \"C:\\Tempfile\" /s /q"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Tempfile"));
    EXPECT_EQ(2, run(L"cmd /c rmdir \"C:\\Tempfile\" /s /q"));
    spit(root.c("full/x"), "x");
    EXPECT_EQ(145, run(L"cmd /c rmdir C:\\full"));
    EXPECT_EQ(267, run(L"cmd /c rmdir C:\\full\\x"));  // not a folder
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\full\\x"));
}

TEST(Cmd, ChainedPauseThenDelete) {
    platform::TestRoot root;
    spit(root.c("victim.exe"), "x");
    EXPECT_EQ(0, run(L"cmd.exe /C ping -n 2 127.0.0.1 > Nul & Del \"C:\\victim.exe\""));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\victim.exe"));
    EXPECT_EQ(0, run(L"cmd /c timeout /t 1 /nobreak > nul"));
    // && stops at a failure, || runs on one.
    EXPECT_EQ(0, run(L"cmd /c find \"x\" C:\\missing.txt 2>nul || break>C:\\ran.txt"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\ran.txt"));
    EXPECT_EQ(1, run(L"cmd /c find \"x\" C:\\missing.txt 2>nul && break>C:\\not.txt"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\not.txt"));
}

TEST(Cmd, UnknownCommand) {
    platform::TestRoot root;
    EXPECT_EQ(1, run(L"cmd /c frobnicate now 2> C:\\err.txt"));
    EXPECT_NE(std::string::npos, slurp(root.c("err.txt")).find("'frobnicate' is not recognized"));
    EXPECT_EQ(1, run(L"cmd /c \"frobnicate\""));
}

}  // namespace
