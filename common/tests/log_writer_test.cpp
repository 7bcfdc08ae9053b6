// The log writer: ini lookups, file names, the record format, rotation and records of two
// processes sharing one log.
#include "common/log_writer.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/tests/test_files.h"
#include "platform/test_root.h"

using testfiles::readHost;
using testfiles::recordTexts;
using testfiles::splitRecords;
using testfiles::writeHost;

namespace {

class LogWriterTest : public ::testing::Test {
  protected:
    void SetUp() override { logSettings = {}; }
    void TearDown() override {
        if (logSettings.mutex != nullptr) CloseHandle(logSettings.mutex);
        logSettings = {};
    }
    // A log ini on C: with the section and the given lines; returns its Windows path.
    std::string ini(const std::string& lines, const std::string& name = "t.ini") {
        writeHost(root.c(name), lines);
        return "C:\\" + name;
    }
    platform::TestRoot root;
};

struct ProfileCase {
    const char* what;
    const char* text;
    const char* key;
    int size;
    int status;
    const char* value;
};

TEST_F(LogWriterTest, ProfileLookups) {
    const ProfileCase cases[] = {
        {"key in other letter case", "[KVLBTessarion]\nlog level=5\n", "Log Level", 16, 0, "5"},
        {"blank before the equals sign", "[KVLBTessarion]\nLog Level =5\n", "Log Level", 16, 103, ""},
        {"comment", "[KVLBTessarion]\n;Log Level=5\n  ;Log Level=4\n", "Log Level", 16, 103, ""},
        {"indented by blanks and tabs", "[KVLBTessarion]\n \t Log Level=5\n", "Log Level", 16, 0, "5"},
        {"header with blanks, lower case", "  [  kvlbtessarion ]  \nLog Level=4\n", "Log Level", 16, 0, "4"},
        {"second section of the name ignored", "[KVLBTessarion]\nLog File=a\n[KVLBTessarion]\nLog Level=5\n",
         "Log Level", 16, 103, ""},
        {"other header ends the section", "[KVLBTessarion]\n[Other]\nLog Level=5\n", "Log Level", 16, 103,
         ""},
        {"empty header ends the section", "[KVLBTessarion]\n[ ]\nLog Level=5\n", "Log Level", 16, 103, ""},
        {"empty header is no section", "[]\nLog Level=5\n", "Log Level", 16, 102, ""},
        {"longer section name", "[KVLBTessarionX]\nLog Level=5\n", "Log Level", 16, 102, ""},
        {"text before the bracket", "x [KVLBTessarion]\nLog Level=5\n", "Log Level", 16, 102, ""},
        {"other sections before", "[A]\nLog Level=1\n[KVLBTessarion]\nLog Level=5\n", "Log Level", 16, 0,
         "5"},
        {"first matching line wins", "[KVLBTessarion]\nLog Level=5\nLog Level=3\n", "Log Level", 16, 0, "5"},
        {"double quotes", "[KVLBTessarion]\nLog File=\"C:\\a b.log\" tail\n", "Log File", 128, 0,
         "C:\\a b.log"},
        {"single quotes, last one closes", "[KVLBTessarion]\nLog File=  'x'y'z\n", "Log File", 128, 0, "x'y"},
        {"opening quote only", "[KVLBTessarion]\nLog File=\"abc\n", "Log File", 128, 0, "\"abc"},
        {"blanks kept unquoted", "[KVLBTessarion]\nLog File= a b \t\n", "Log File", 128, 0, " a b \t"},
        {"equals sign in the value", "[KVLBTessarion]\nLog File=a=b\n", "Log File", 128, 0, "a=b"},
        {"empty value", "[KVLBTessarion]\nLog File=\n", "Log File", 128, 0, ""},
        {"CR LF lines", "[KVLBTessarion]\r\nLog Level=5\r\n", "Log Level", 16, 0, "5"},
        {"last line without line end", "[KVLBTessarion]\nLog Level=5", "Log Level", 16, 0, "5"},
        // The line is read in pieces of the value buffer's size, so its value is cut.
        {"over-long line", "[KVLBTessarion]\nLog Level=12345678901234\n", "Log Level", 16, 0, "12345"},
        {"key missing", "[KVLBTessarion]\nLog File=x\n", "Log Level", 16, 103, ""},
        {"section missing", "Log Level=5\n", "Log Level", 16, 102, ""},
        {"tiny buffer", "[KVLBTessarion]\nLog Level=5\n", "Log Level", 1, 103, ""},
    };
    for (const auto& c : cases) {
        std::string path = ini(c.text);
        char out[128];
        memset(out, '#', sizeof out);
        int status = getProfileString("KVLBTessarion", c.key, out, c.size, path.c_str());
        EXPECT_EQ(status, c.status) << c.what;
        if (c.size > 1) {
            EXPECT_STREQ(out, c.value) << c.what;
        }
    }
}

TEST_F(LogWriterTest, ProfileBadInput) {
    std::string path = ini("[KVLBTessarion]\nLog Level=5\n");
    char out[16];
    EXPECT_EQ(getProfileString("KVLBTessarion", "Log Level", out, 16, "C:\\missing.ini"), PROFILE_NO_FILE);
    EXPECT_EQ(getProfileString("KVLBTessarion", "Log Level", out, 16, nullptr), PROFILE_NO_FILE);
    EXPECT_EQ(getProfileString("KVLBTessarion", "Log Level", out, 16, ""), PROFILE_NO_FILE);
    EXPECT_EQ(getProfileString(nullptr, "Log Level", out, 16, path.c_str()), PROFILE_NO_SECTION);
    EXPECT_EQ(getProfileString("KVLBTessarion", nullptr, out, 16, path.c_str()), PROFILE_NO_KEY);
    EXPECT_EQ(getProfileString("KVLBTessarion", "Log Level", nullptr, 16, path.c_str()), PROFILE_NO_KEY);
    EXPECT_EQ(getProfileString("KVLBTessarion", "", out, 16, path.c_str()), PROFILE_NO_KEY);
    // Lines far beyond every buffer are read in pieces, never past the buffer.
    std::string longLine(5000, 'k');
    path = ini("[" + longLine + "]\n[KVLBTessarion]\n" + longLine + "=v\nLog Level=5\n");
    EXPECT_EQ(getProfileString("KVLBTessarion", "Log Level", out, 16, path.c_str()), PROFILE_FOUND);
    EXPECT_STREQ(out, "5");
}

TEST(LogFileName, Composition) {
    struct {
        const char* base;
        int counter;
        const char* expected;
    } cases[] = {
        {"C:\\ZTLog.log", 0, "C:\\ZTLog_20211223.log"},
        {"C:\\ZTLog.log", 2, "C:\\ZTLog_20211223_2.log"},
        {"C:\\ZTLog.log", -1, "C:\\ZTLog_20211223.log"},
        {"C:\\logs\\app", 0, "C:\\logs\\app_20211223"},
        {"C:\\logs\\app", 3, "C:\\logs\\app_20211223_3"},
        {"C:\\my.logs\\app", 0, "C:\\my_20211223.logs\\app"},
        {"C:\\a.b.txt", 1, "C:\\a.b_20211223_1.txt"},
    };
    for (const auto& c : cases) {
        char out[MAX_PATH];
        composeLogFileName(c.base, 2021, 12, 23, c.counter, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << c.base << " " << c.counter;
    }
    char small[8];
    composeLogFileName("C:\\ZTLog.log", 2021, 12, 23, 0, small, sizeof small);
    EXPECT_STREQ(small, "") << "a name that does not fit is no name";
}

TEST(LogFileName, LevelNames) {
    const char* expected[] = {"", "[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};
    for (int level = 0; level <= 5; ++level) EXPECT_STREQ(logLevelName(level), expected[level]);
    EXPECT_STREQ(logLevelName(6), "");
    EXPECT_STREQ(logLevelName(-1), "");
}

TEST_F(LogWriterTest, RecordFormatByteForByte) {
    const auto day = testfiles::fixDay();
    std::filesystem::create_directories(root.c("logs"));
    std::string path = ini("[KVLBTessarion]\nLog File=C:\\logs\\t.log\nLog Level=5\n");
    ASSERT_EQ(initLogFromIni("KVLBTessarion", path.c_str()), 0);
    EXPECT_EQ(writeLogLine(5, "one\ntwo %d", 2), 0);

    ASSERT_EQ(testfiles::listHost(root.c("logs")), std::vector<std::string>{"t_" + day.stamp + ".log"});
    std::string bytes = readHost(root.c("logs/t_" + day.stamp + ".log"));
    char ids[32];
    snprintf(ids, sizeof ids, "[%05lu-%05lu] ", static_cast<unsigned long>(GetCurrentProcessId()) % 100000ul,
             static_cast<unsigned long>(GetCurrentThreadId()) % 100000ul);
    std::regex expected(std::string(day.dashed + " " + day.hourMinute + R"(:\d{2}\.\d{3} \[DEBUG\] )") +
                        std::regex_replace(ids, std::regex(R"([\[\]])"), R"(\$&)") +
                        R"(Log Enable 'C:\\t\.ini'\r\n)" + day.dashed + " " + day.hourMinute +
                        R"(:\d{2}\.\d{3} \[DEBUG\] )" +
                        std::regex_replace(ids, std::regex(R"([\[\]])"), R"(\$&)") + "one\r\ntwo 2\r\n");
    EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;
}

TEST_F(LogWriterTest, LevelsDecideWhatIsWritten) {
    const auto day = testfiles::fixDay();
    std::filesystem::create_directories(root.c("logs"));

    // Without "Log Level" the writer stays off and writes nothing at all.
    std::string path = ini("[KVLBTessarion]\nLog File=C:\\logs\\t.log\n");
    EXPECT_EQ(initLogFromIni("KVLBTessarion", path.c_str()), 103);
    EXPECT_EQ(writeLogLine(5, "x"), -2);
    EXPECT_TRUE(testfiles::listHost(root.c("logs")).empty());
    EXPECT_EQ(initLogFromIni("KVLBTessarion", "C:\\none\\t.ini"), 101);
    EXPECT_EQ(initLogFromIni("KVLBTessarion", ini("[Other]\nLog Level=5\n").c_str()), 102);

    // Level 3: only the writer's own record, at level 3.
    path = ini("[KVLBTessarion]\nLog File=C:\\logs\\t.log\nLog Level=3\nLog MaxSize= 100abc\n");
    EXPECT_EQ(initLogFromIni("KVLBTessarion", path.c_str()), 0);
    EXPECT_EQ(logSettings.maxSize, 100);
    EXPECT_EQ(writeLogLine(5, "dropped"), -2);
    EXPECT_EQ(writeLogLine(3, "kept"), 0);
    auto lines = splitRecords(readHost(root.c("logs/t_" + day.stamp + ".log")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" [WARN ] ["), std::string::npos);
    EXPECT_NE(lines[0].find("Log Enable 'C:\\t.ini'"), std::string::npos);

    // Enabled: a second initialisation changes nothing; switched off, the ini is read again.
    EXPECT_EQ(initLogFromIni("KVLBTessarion", ini("[KVLBTessarion]\nLog Level=5\n", "u.ini").c_str()), -1);
    EXPECT_EQ(logSettings.maxLevel, 3);
    EXPECT_EQ(setLogFileLevel(nullptr, 0), 0);
    EXPECT_EQ(writeLogLine(3, "off"), -2);

    // Level 0: the writer is on, its own record has the empty level name, nothing else passes.
    path = ini("[KVLBTessarion]\nLog File=C:\\logs\\zero.log\nLog Level=0\n");
    EXPECT_EQ(initLogFromIni("KVLBTessarion", path.c_str()), 0);
    EXPECT_EQ(writeLogLine(5, "dropped"), -2);
    lines = splitRecords(readHost(root.c("logs/zero_" + day.stamp + ".log")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\S+ \S+  \[\d{5}-\d{5}\] Log Enable 'C:\\t\.ini')")))
        << lines[0];

    // No "Log File": the default name on C:.
    setLogFileLevel(nullptr, 0);
    EXPECT_EQ(initLogFromIni("KVLBTessarion", ini("[KVLBTessarion]\nLog Level=5\n").c_str()), 0);
    EXPECT_EQ(writeLogLine(5, "default"), 0);
    auto defaults = splitRecords(readHost(root.c("ZTLog_" + day.stamp + ".log")));
    ASSERT_EQ(defaults.size(), 2u);
    EXPECT_NE(defaults[1].find("] default"), std::string::npos);
}

TEST_F(LogWriterTest, SetLogFileLevelDirectly) {
    const auto day = testfiles::fixDay();
    EXPECT_EQ(setLogFileLevel("C:\\direct.log", 5), 0);
    EXPECT_EQ(writeLogLine(5, "a"), 0);
    EXPECT_EQ(setLogFileLevel(nullptr, 4), 0);  // no name: nothing changes
    EXPECT_EQ(writeLogLine(5, "b"), 0);
    EXPECT_EQ(setLogFileLevel(nullptr, 0), 0);
    EXPECT_EQ(writeLogLine(5, "c"), -2);
    auto lines = splitRecords(readHost(root.c("direct_" + day.stamp + ".log")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("] b"), std::string::npos);
    // A folder that does not exist drops the record quietly.
    setLogFileLevel("C:\\missing\\x.log", 5);
    EXPECT_EQ(writeLogLine(5, "lost"), 0);
}

TEST_F(LogWriterTest, BadInputIsRefusedOrWrittenWhole) {
    const auto day = testfiles::fixDay();
    EXPECT_EQ(initLogFromIni("KVLBTessarion", nullptr), PROFILE_NO_FILE);
    EXPECT_EQ(initLogFromIni(nullptr, ini("[KVLBTessarion]\nLog Level=5\n").c_str()), PROFILE_NO_SECTION);
    EXPECT_EQ(logSettings.enabled, 0);
    // A name longer than the setting keeps its first 127 characters.
    std::string longName = "C:\\" + std::string(200, 'n') + ".log";
    setLogFileLevel(longName.c_str(), 5);
    EXPECT_EQ(strlen(logSettings.fileName), 127u);
    setLogFileLevel("C:\\bad.log", 5);
    EXPECT_EQ(writeLogLine(5, nullptr), 0);
    std::string big(100000, 'b');
    EXPECT_EQ(writeLogLine(5, "%s", big.c_str()), 0);
    EXPECT_EQ(writeLogLine(5, "%s", "100% kept"), 0);
    auto lines = splitRecords(readHost(root.c("bad_" + day.stamp + ".log")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(\] $)")));
    EXPECT_EQ(lines[1].substr(lines[1].size() - big.size()), big);
    EXPECT_NE(lines[2].find("] 100% kept"), std::string::npos);
}

TEST_F(LogWriterTest, RotationBySizeKeepsTheCounterAcrossDays) {
    const auto day = testfiles::fixDay();
    std::filesystem::create_directories(root.c("logs"));
    ASSERT_EQ(
        initLogFromIni("KVLBTessarion", ini("[KVLBTessarion]\nLog File=C:\\logs\\r.log\nLog MaxSize=100\n"
                                            "Log Level=5\n")
                                            .c_str()),
        0);
    // A file exactly at the maximum size still takes the next record...
    writeHost(root.c("logs/r_" + day.stamp + ".log"), std::string(100, 'p'));
    writeLogLine(5, "first");
    EXPECT_EQ(splitRecords(readHost(root.c("logs/r_" + day.stamp + ".log"))).size(), 1u);
    // ...and once above it, the next record opens the next file of the day.
    // Records of about 60 bytes: two fit below the limit of 100, the third moves on.
    writeLogLine(5, "second");
    writeLogLine(5, "third");
    writeLogLine(5, "fourth");
    auto next = splitRecords(readHost(root.c("logs/r_" + day.stamp + "_1.log")));
    ASSERT_EQ(next.size(), 2u);
    EXPECT_NE(next[0].find("] second"), std::string::npos);
    EXPECT_NE(next[1].find("] third"), std::string::npos);
    auto after = splitRecords(readHost(root.c("logs/r_" + day.stamp + "_2.log")));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0].find("] fourth"), std::string::npos);

#ifndef _WIN32
    // The next day starts at the counter reached, not at 0 (only the emulated clock can be moved).
    ASSERT_TRUE(test_support::setClock(2021, 12, 24));
    writeLogLine(5, "next day");
    EXPECT_EQ(testfiles::listHost(root.c("logs")),
              (std::vector<std::string>{"r_20211223.log", "r_20211223_1.log", "r_20211223_2.log",
                                        "r_20211224_2.log"}));
#endif
}

TEST_F(LogWriterTest, BareIniNameIsLookedForInTheWindowsFolder) {
    const auto day = testfiles::fixDay();
    writeHost(root.ini(), "[KVLBTessarion]\nLog File=C:\\w.log\nLog Level=5\n");
    EXPECT_EQ(initLogFromIni("KVLBTessarion", "KVLBTessarion.ini"), 0);
    auto lines = splitRecords(readHost(root.c("w_" + day.stamp + ".log")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Log Enable '" + root.iniName() + "'"), std::string::npos) << lines[0];
}

TEST_F(LogWriterTest, TwoProcessesWriteWholeRecordsAndLoseNone) {
    const auto day = testfiles::fixDay();
    std::filesystem::create_directories(root.c("logs"));
    // Records larger than a stdio buffer and a size limit that rotates often: both would show
    // torn or lost records without the shared lock.
    const int count = 120;
    const int padding = 9000;
    std::string path =
        ini("[KVLBTessarion]\nLog File=C:\\logs\\shared.log\nLog MaxSize=60000\nLog Level=5\n");
    std::string helper = std::string(KVLB_TEST_DIR) + "/CommonHelper.exe";
    test_support::ChildProcess a(
        {helper, "write", path, "A", std::to_string(count), std::to_string(padding)});
    test_support::ChildProcess b(
        {helper, "write", path, "B", std::to_string(count), std::to_string(padding)});
    ASSERT_TRUE(a.started());
    ASSERT_TRUE(b.started());
    EXPECT_EQ(a.exitCode(), 0);
    EXPECT_EQ(b.exitCode(), 0);

    std::regex record("(A|B) record (\\d+) x{" + std::to_string(padding) + "} end");
    std::map<std::string, std::set<int>> seen;
    int enables = 0;
    for (const auto& text : recordTexts(root.c("logs"))) {
        std::smatch m;
        if (text.rfind("Log Enable '", 0) == 0) {
            ++enables;
        } else if (std::regex_match(text, m, record)) {
            EXPECT_TRUE(seen[m[1]].insert(std::stoi(m[2])).second) << "duplicate " << m[1] << m[2];
        } else {
            ADD_FAILURE() << "torn record: " << text.substr(0, 80);
        }
    }
    EXPECT_EQ(enables, 2);
    EXPECT_EQ(seen["A"].size(), static_cast<size_t>(count));
    EXPECT_EQ(seen["B"].size(), static_cast<size_t>(count));
    EXPECT_GT(testfiles::listHost(root.c("logs")).size(), 5u) << "the limit rotated the files";
}

}  // namespace
