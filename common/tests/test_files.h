// Small helpers the common tests share: host files under a test root, log records, a fixed day
// and helper processes (polling is test_support::pollUntil, the clock test_support::setClock).
#pragma once
#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/test_process.h"
#include "platform/test_support.h"
#include "test_support/clock.h"

namespace testfiles {

inline void writeHost(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string readHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// File names in a host folder, sorted; none when the folder is missing.
inline std::vector<std::string> listHost(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Records of a log file: split at CR LF, the last empty piece dropped.
inline std::vector<std::string> splitRecords(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at; (at = bytes.find("\r\n", start)) != std::string::npos; start = at + 2)
        lines.push_back(bytes.substr(start, at - start));
    if (start < bytes.size()) lines.push_back(bytes.substr(start));
    return lines;
}

// The writer's prefix: stamp, level name, process and thread ids.
inline const std::regex& recordPrefix() {
    static const std::regex prefix(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (\[DEBUG\]|\[WARN \]|) \[\d{5}-\d{5}\] )");
    return prefix;
}

// The texts of all records in a host folder's files (in file-name order), prefixes removed.
inline std::vector<std::string> recordTexts(const std::string& dir) {
    std::vector<std::string> texts;
    for (const auto& name : listHost(dir))
        for (const auto& line : splitRecords(readHost(dir + "/" + name))) {
            std::smatch m;
            texts.push_back(std::regex_search(line, m, recordPrefix()) ? line.substr(m.length(0))
                                                                       : "<bad> " + line);
        }
    return texts;
}

// The day the log writer stamps its records with: as "20211223", as "2021-12-23", and a pattern
// of the hour and minute.
struct Day {
    std::string stamp;
    std::string dashed;
    std::string hourMinute;
};

#ifndef _WIN32
// The emulated machine's clock is put at noon on 23 December 2021.
inline Day fixDay() {
    EXPECT_TRUE(test_support::setClock(2021, 12, 23));
    return {"20211223", "2021-12-23", "12:00"};
}
#else
// The real machine's clock cannot be moved: its day now.
inline Day fixDay() {
    SYSTEMTIME t = {};
    GetLocalTime(&t);
    char stamp[16], dashed[16];
    snprintf(stamp, sizeof stamp, "%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
    snprintf(dashed, sizeof dashed, "%04u-%02u-%02u", t.wYear, t.wMonth, t.wDay);
    return {stamp, dashed, R"(\d{2}:\d{2})"};
}
#endif

// Runs a helper program to its end; its exit code, -1 when it could not be started or did not end.
inline int runToEnd(const std::vector<std::string>& args) {
    test_support::ChildProcess child(args);
    return child.exitCode();
}

}  // namespace testfiles
