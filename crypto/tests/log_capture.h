// Test helper: a fresh machine root whose log file collects every record written while it lives.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/log.h"
#include "common/log_writer.h"
#include "platform/test_root.h"

class LogCapture {
  public:
    LogCapture() {
        // A capture made while another lives shares the real machine's file on Windows.
        start_ = allText().size();
        setLogFileLevel("C:\\kvlb_test.log", 5);
        logEnabled = 1;
    }
    ~LogCapture() {
        logEnabled = 0;
        setLogFileLevel(nullptr, 0);
    }
    // Every record since the capture was made, from all the dated files (the clock may be moved
    // between records).
    std::string text() const {
        std::string all = allText();
        return all.substr(std::min(start_, all.size()));
    }
    bool has(const std::string& record) const { return text().find(record) != std::string::npos; }
    // True once records reach the file. Tests assert it first: a check that a record is absent
    // means nothing unless records do arrive.
    bool working() {
        logNormal("log capture: ", "probe");
        return has("[Normal] log capture: probe");
    }
    const platform::TestRoot& root() const { return root_; }

  private:
    std::string allText() const {
        std::string all;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(root_.c(), ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("kvlb_test", 0) != 0) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            all += s.str();
        }
        return all;
    }
    platform::TestRoot root_;
    size_t start_ = 0;
};
