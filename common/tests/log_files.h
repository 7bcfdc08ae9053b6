// Test fixture: a fresh root whose log front end writes into one file under C:\logs; logText()
// reads back every log file there. A front end that writes no records fails every case.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/log.h"
#include "common/log_writer.h"
#include "platform/test_root.h"

class LogFilesTest : public ::testing::Test {
  protected:
    // file: the Windows name of the log file; probe: the word of the record that shows it works.
    LogFilesTest(const char* file, const char* probe) : file_(file), probe_(probe) {}
    void SetUp() override {
        std::filesystem::create_directories(root.c("logs"));
        setLogFileLevel(file_, 5);
        logEnabled.store(1);
        logNormal("probe: ", probe_);
        // Checks that look for the absence of a record mean nothing unless records do arrive.
        ASSERT_NE(logText().find(std::string("[Normal] probe: ") + probe_), std::string::npos)
            << "the log front end wrote no record";
    }
    void TearDown() override {
        logEnabled.store(0);
        setLogFileLevel(nullptr, 0);
    }
    std::string logText() const {
        std::string all;
        for (const auto& file : std::filesystem::recursive_directory_iterator(root.c("logs"))) {
            if (!file.is_regular_file() || file.path().extension() != ".log") continue;
            std::ifstream in(file.path(), std::ios::binary);
            std::stringstream content;
            content << in.rdbuf();
            all += content.str();
        }
        return all;
    }
    platform::TestRoot root;

  private:
    const char* file_;
    const char* probe_;
};
