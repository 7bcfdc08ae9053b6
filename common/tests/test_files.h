// Small helpers the common tests share: host files under a test root, log records, a fixed clock
// and helper processes (polling is test_support::pollUntil).
#pragma once
#include <spawn.h>
#include <sys/wait.h>

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
#include "platform/test_support.h"

extern char** environ;

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

// Moves the root's clock to the given local time.
inline void setClock(int year, int month, int day, int hour = 12, int minute = 0) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    long long target = static_cast<long long>(mktime(&t));
    long long now = static_cast<long long>(time(nullptr));
    platform::setSetting("clock_offset_ms", std::to_string((target - now) * 1000));
}

inline pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

// Exit code of a spawned process, -1 when it did not end normally.
inline int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace testfiles
