// Test support: a fresh machine root whose log front end writes into one file, and the records
// read back from it (every dated file of that name, in date order: the clock may be moved between
// records). LogCapture is the object a case holds; LogFilesTest the fixture that holds one.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/log_writer.h"
#include "platform/test_root.h"

class LogCapture {
  public:
    // file: the Windows name of the log file, on drive C: of the capture's root; its folder is
    // made when it is missing.
    explicit LogCapture(const std::string& file = "C:\\kvlb_test.log") : file_(file) {
        std::string rel = file_.substr(std::min<size_t>(3, file_.size()));
        std::replace(rel.begin(), rel.end(), '\\', '/');
        std::filesystem::path host(root_.c(rel));
        folder_ = host.parent_path().string();
        stem_ = host.stem().string();
        std::error_code ec;
        std::filesystem::create_directories(folder_, ec);
        // A capture made while another lives shares the real machine's file on Windows.
        start_ = allText().size();
        setLogFileLevel(file_.c_str(), 5);
        logEnabled = 1;
    }
    ~LogCapture() {
        logEnabled = 0;
        setLogFileLevel(nullptr, 0);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every record since the capture was made.
    std::string text() const {
        std::string all = allText();
        return all.substr(std::min(start_, all.size()));
    }
    bool has(const std::string& record) const { return text().find(record) != std::string::npos; }
    // True once records reach the file. Tests assert it first: a check that a record is absent
    // means nothing unless records do arrive.
    bool working(const std::string& probe = "probe") {
        logNormal("log capture: ", probe.c_str());
        return has("[Normal] log capture: " + probe);
    }
    const platform::TestRoot& root() const { return root_; }

  private:
    // The writer names its files <stem>_<date>[_<n>]<extension> beside the name it was given.
    std::string allText() const {
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder_, ec))
            if (entry.path().filename().string().rfind(stem_ + "_", 0) == 0) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::string all;
        for (const auto& path : files) {
            std::ifstream in(path, std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            all += s.str();
        }
        return all;
    }
    platform::TestRoot root_;
    std::string file_;
    std::string folder_;
    std::string stem_;
    size_t start_ = 0;
};

// Fixture: every case logs into its own capture; a front end that writes no records fails it.
class LogFilesTest : public ::testing::Test {
  protected:
    // file: the Windows name of the log file; probe: the word of the record that shows it works.
    LogFilesTest(const char* file, const char* probe) : capture_(file), probe_(probe) {}
    void SetUp() override { ASSERT_TRUE(capture_.working(probe_)) << "the log front end wrote no record"; }
    std::string logText() const { return capture_.text(); }

  private:
    LogCapture capture_;
    const char* probe_;
};
