// The worker's installer support modes: the uninstall detection, the delayed delete and the key
// file's byte array, run as the real program in a root of its own.
#include "worker/tests/program_harness.h"

#include "worker/worker.h"

namespace {

using harness::pollUntil;
namespace fs = std::filesystem;

class InstallerModes : public harness::ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        install(KVLB_WORKER_EXE, "KVLBTessarionWorker.exe");
        install(KVLB_STANDIN, "KVLBTessarionMonitor.exe");
        install(KVLB_STANDIN, "uninst.exe", root.c("Program Files/x"));
    }

    std::string workerFile() const { return bin() + "/KVLBTessarionWorker.exe"; }
    bool workerDeletesItself() {
        return pollUntil([&] { return !fs::exists(workerFile()); }, 30s);
    }
    void touch(const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "x";
    }
    static constexpr const char* kDetect = "-uninstalldetect C:\\Program Files\\x\\uninst.exe C:\\y.exe";
};

TEST(UninstallItems, PiecesJoinUpToTheNextExe) {
    struct Case {
        const char* tail;
        std::vector<std::string> items;
    } cases[] = {
        {"C:\\Program Files\\x\\uninst.exe C:\\y.exe", {"C:\\Program Files\\x\\uninst.exe", "C:\\y.exe"}},
        {"a.exe   b.exe", {"a.exe", "b.exe"}},
        {"C:\\a b\\c d", {"C:\\a b\\c d"}},
        {"  ", {}},
        {"a.exe b c.exe d", {"a.exe", "b c.exe", "d"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> items{"left over"};
        EXPECT_TRUE(joinUninstallItems(c.tail, items)) << c.tail;
        EXPECT_EQ(items, c.items) << c.tail;
    }
    std::vector<std::string> items;
    EXPECT_TRUE(joinUninstallItems("1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16", items));
    EXPECT_FALSE(joinUninstallItems("1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17", items));
    EXPECT_EQ(commandTail("-delete"), "");
    EXPECT_EQ(commandTail("-delete  C:\\a"), " C:\\a");
    EXPECT_EQ(commandTail(("-x " + std::string(600, 'a')).c_str()).size(), 511u);
}

TEST_F(InstallerModes, UninstallDetectWithoutTwoItemsEndsWith61005AndKeepsTheWorker) {
    for (const char* line :
         {"-uninstalldetect", "-uninstalldetect C:\\y.exe", "-uninstalldetect a.exe b.exe c.exe",
          "-uninstalldetect 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 x.exe y.exe"}) {
        EXPECT_EQ(worker(line), 61005) << line;
    }
    EXPECT_EQ(logCount("[Warning] Tessarion uninstall detect: Parameter error"), 4u);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(fs::exists(workerFile()));
}

TEST_F(InstallerModes, UninstallDetectWithAdaptersLeftInSubFoldersOnlyStartsTheMonitorAgain) {
    HANDLE monitor = start("KVLBTessarionMonitor.exe", "");
    ASSERT_TRUE(pollUntil([&] { return eventsHave("KVLBTessarionMonitor.exe", "ready"); }));
    touch(bin() + "/KVLB/KvlbTokenAdapter.dll");
    touch(bin() + "/Other.dll");
    EXPECT_EQ(worker(kDetect), 0);
    std::string all = log();
    EXPECT_NE(all.find("argv[0] = C:\\Program Files\\x\\uninst.exe"), std::string::npos);
    EXPECT_NE(all.find("Uninstall detect result: TotolSize = 2 MainSize = 1"), std::string::npos);
    EXPECT_NE(all.find("->MonitorStart"), std::string::npos);
    EXPECT_TRUE(pollUntil([&] { return logHas("IPC Message Lock Mode: Recivie MonitorStart message"); }));
    EXPECT_FALSE(eventsHave("uninst.exe", "run /S"));
    EXPECT_TRUE(workerDeletesItself());
    CloseHandle(monitor);
}

TEST_F(InstallerModes, UninstallDetectWithNoAdaptersLeftRunsTheUninstallerAndDeletesTheCopies) {
    std::string copies = root.c("ProgramData/KVLBTessarion");
    touch(copies + "/a.dll");
    touch(copies + "/hidden.dll");
    touch(copies + "/keep.txt");
    ASSERT_TRUE(
        SetFileAttributesW(test_support::windowsPath(copies + "/hidden.dll").c_str(), FILE_ATTRIBUTE_HIDDEN));
    struct Case {
        const char* name;
        bool topDll;
        const char* record;
    } cases[] = {{"top folder DLL only", true, "TotolSize = 1 MainSize = 1"},
                 {"no DLL at all", false, "[Warning] MainFileList: Uninstall mode"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.topDll)
            touch(bin() + "/Other.dll");
        else
            fs::remove(bin() + "/Other.dll");
        install(KVLB_WORKER_EXE, "KVLBTessarionWorker.exe");
        size_t runs = harness::countOf(events("uninst.exe"), "run /S");
        EXPECT_EQ(worker(kDetect), 0);
        EXPECT_TRUE(logHas(c.record));
        EXPECT_TRUE(pollUntil([&] { return harness::countOf(events("uninst.exe"), "run /S") == runs + 1; }));
        EXPECT_FALSE(fs::exists(copies + "/a.dll"));
        EXPECT_FALSE(fs::exists(copies + "/hidden.dll"));
        EXPECT_TRUE(fs::exists(copies + "/keep.txt"));
        EXPECT_TRUE(workerDeletesItself());
    }
    EXPECT_EQ(logCount("->Unstall"), 2u);
}

TEST_F(InstallerModes, DeleteRemovesTheFileThenEmptyFoldersUpward) {
    touch(root.c("a/b/f.txt"));
    touch(root.c("a/keep.txt"));
    touch(root.c("my dir/g.txt"));
    EXPECT_EQ(worker("-delete C:\\a\\b\\f.txt"), 0);
    EXPECT_FALSE(fs::exists(root.c("a/b")));
    EXPECT_TRUE(fs::exists(root.c("a/keep.txt")));
    EXPECT_TRUE(logHas("File mode"));
    EXPECT_TRUE(logHas("Delete C:\\a\\b success"));
    EXPECT_TRUE(logHas("Delete C:\\a retry too many times"));
    EXPECT_TRUE(workerDeletesItself());

    // Quotes around a path with blanks are taken off.
    install(KVLB_WORKER_EXE, "KVLBTessarionWorker.exe");
    EXPECT_EQ(worker("-delete \"C:\\my dir\\g.txt\""), 0);
    EXPECT_FALSE(fs::exists(root.c("my dir")));
    EXPECT_TRUE(logHas("Delete C:\\my dir success"));
}

TEST_F(InstallerModes, DeleteWaitsForTheNsisUninstaller) {
    install(KVLB_STANDIN, "Au_.exe");
    standinMode("Au_.exe", "deaf");
    HANDLE nsis = start("Au_.exe", "");
    ASSERT_TRUE(pollUntil([&] { return eventsHave("Au_.exe", "run "); }));
    fs::create_directories(root.c("gone"));
    HANDLE run = start("KVLBTessarionWorker.exe", "-delete C:\\gone\\");
    ASSERT_TRUE(pollUntil([&] { return logHas("NSIS uninstaller is running, wait"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(fs::exists(root.c("gone")));
    TerminateProcess(nsis, 0);
    CloseHandle(nsis);
    EXPECT_EQ(waitExit(run), 0);
    EXPECT_FALSE(fs::exists(root.c("gone")));
    EXPECT_TRUE(logHas("Folder mode"));
}

TEST_F(InstallerModes, DeleteWithoutAPathStillDeletesTheWorker) {
    EXPECT_EQ(worker("-delete"), 0);
    EXPECT_TRUE(logHas("Input is empty"));
    EXPECT_TRUE(workerDeletesItself());
}

TEST(KeyToByte, TheDeclarationNamesTheKeyKindAndListsEveryByte) {
    const unsigned char one[] = {0xC8};
    const unsigned char two[] = {0x01, 0xAB};
    EXPECT_EQ(keyToByteText("C:\\k\\server_RSA.pem", one, 1), "byte RSAKey[] = { 0xC8};");
    EXPECT_EQ(keyToByteText("server_EC.pem", two, 2), "byte ECKey[] = { 0x1, 0xAB};");
    EXPECT_EQ(keyToByteText("server_RSA_pem", one, 1), "byte ECKey[] = { 0xC8};");
    EXPECT_EQ(keyToByteText("x_RSA.pem", one, 0), "");
}

TEST_F(InstallerModes, KeyToByteAppendsToCertHeaderInTheCurrentFolder) {
    std::ofstream(root.path() + "/k_RSA.pem", std::ios::binary) << "AB\r\nC";
    std::ofstream(root.path() + "/k_EC.pem", std::ios::binary) << "\xC8";
    EXPECT_EQ(worker("-KeyToByte k_RSA.pem"), 0);
    EXPECT_EQ(worker("-KeyToByte k_EC.pem"), 0);
    EXPECT_EQ(worker("-KeyToByte missing.pem"), 0);
    // Text mode: CR LF arrives as LF.
    EXPECT_EQ(harness::readText(root.path() + "/Cert.h"),
              "byte RSAKey[] = { 0x41, 0x42, 0xA, 0x43};byte ECKey[] = { 0xC8};");
    EXPECT_TRUE(logHas("FileName: k_EC.pem"));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_TRUE(fs::exists(workerFile()));
}

}  // namespace
