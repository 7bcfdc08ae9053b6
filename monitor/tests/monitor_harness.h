// Test harness: the real tray monitor installed in a machine root of its own (with the real
// service beside it), driven through the desktop driver as a user drives the desktop.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/test_root.h"
#include "platform/test_support.h"

namespace mon {

namespace fs = std::filesystem;

// The service binds the fixed ports; each test program has a network namespace of its own.
inline void enterOwnNetwork() {
    static bool done = false;
    if (done) return;
    done = true;
    if (unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") != 0)
        std::fprintf(stderr, "loopback not brought up\n");
}

using test_support::pollUntil;

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void spit(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    std::string line;
    while (std::getline(s, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

inline std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    std::stringstream s(line);
    std::string part;
    while (std::getline(s, part, '\t')) parts.push_back(part);
    return parts;
}

struct DriverRun {
    int rc = -1;
    std::string out;
};

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        enterOwnNetwork();
        fs::create_directories(root.path() + "/bin");
        fs::copy_file(KVLB_MONITOR_EXE, bin("KVLBTessarionMonitor.exe"));
        fs::copy_file(KVLB_SERVICE_EXE, bin("KVLBTessarionMain.exe"));
        platform::setSetting("locale", "en_US.UTF-8");
    }
    void TearDown() override {
        for (pid_t p : monitors) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        for (int pid : servicePids()) kill(pid, SIGKILL);
        pollUntil([&] { return servicePids().empty(); }, 10s);
    }

    std::string bin(const std::string& name) const { return root.path() + "/bin/" + name; }
    std::string desktop() const { return root.c("Users/User/Desktop"); }
    std::string tempFolder() const { return root.c("Users/User/AppData/Local/Temp"); }
    std::string dataFolder() const { return root.c("ProgramData/KVLBTessarionMain"); }
    std::string logIni() const { return tempFolder() + "/KVLBTessarion.ini"; }
    std::string configFile() const { return dataFolder() + "/KVLBTessarionConfig"; }

    pid_t startMonitor() {
        pid_t pid = fork();
        if (pid == 0) {
            std::string exe = bin("KVLBTessarionMonitor.exe");
            execl(exe.c_str(), exe.c_str(), (char*)nullptr);
            _exit(127);
        }
        monitors.push_back(pid);
        return pid;
    }
    // Started and showing its icon, with the service launched. A launch that comes before the
    // window leaves the start icon up until the next change of state.
    pid_t startMonitorReady() {
        pid_t pid = startMonitor();
        EXPECT_TRUE(pollUntil([&] {
            int icon = iconResource();
            return (icon == 104 || icon == 101) && !servicePids().empty();
        })) << tray().out;
        return pid;
    }
    // Exit code, or -1 when the process has not ended in time.
    int waitExit(pid_t pid, std::chrono::milliseconds within = 30s) {
        int status = 0;
        bool ended = pollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, within);
        if (!ended) return -1;
        monitors.erase(std::remove(monitors.begin(), monitors.end(), pid), monitors.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    DriverRun driver(const std::vector<std::string>& args) {
        std::string command = std::string("'") + KVLB_DESKTOP_DRIVER + "'";
        for (auto& a : args) command += " '" + a + "'";
        DriverRun r;
        FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
        if (!p) return r;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
        int status = pclose(p);
        r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
    DriverRun tray() { return driver({"tray"}); }
    // The icon resource of the first tray icon, 0 when there is none.
    int iconResource() {
        auto lines = splitLines(tray().out);
        if (lines.empty()) return 0;
        auto p = splitTabs(lines[0]);
        return p.size() >= 4 ? std::stoi(p[3]) : 0;
    }
    std::vector<std::string> balloons() {
        std::vector<std::string> texts;
        for (auto& line : splitLines(driver({"balloons"}).out)) {
            auto p = splitTabs(line);
            texts.push_back(p.size() >= 3 ? p[2] : "");
        }
        return texts;
    }
    bool hasBalloon(const std::string& text, size_t from = 0) {
        auto all = balloons();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i] == text) return true;
        return false;
    }
    // Right-click the icon; the open menu's lines ("depth id flags text").
    std::string openMenu() {
        std::string menu;
        if (driver({"tray-rclick"}).rc != 0) return "";
        pollUntil([&] {
            DriverRun r = driver({"menu"});
            menu = r.out;
            return r.rc == 0;
        });
        return menu;
    }
    bool choose(const std::string& item) {
        if (openMenu().empty()) return false;
        return driver({"choose", item}).rc == 0;
    }
    // Open message boxes: caption and text (escaped as the driver shows it).
    std::vector<std::pair<std::string, std::string>> boxes() {
        std::vector<std::pair<std::string, std::string>> out;
        for (auto& line : splitLines(driver({"msgboxes"}).out)) {
            auto p = splitTabs(line);
            if (p.size() >= 4) out.emplace_back(p[2], p[3]);
        }
        return out;
    }
    std::string openAbout() {
        if (driver({"tray-dblclick"}).rc != 0) return "<no icon>";
        std::string text = "<no box>";
        pollUntil([&] {
            auto b = boxes();
            if (b.empty()) return false;
            text = b[0].second;
            return true;
        });
        return text;
    }

    // Services of this root: processes whose program is the root's KVLBTessarionMain.exe.
    std::vector<int> servicePids() {
        std::vector<int> pids;
        std::string exe = bin("KVLBTessarionMain.exe");
        DIR* d = opendir("/proc");
        if (!d) return pids;
        while (dirent* e = readdir(d)) {
            int pid = atoi(e->d_name);
            if (pid <= 0) continue;
            std::string cmd = slurp("/proc/" + std::string(e->d_name) + "/cmdline");
            std::string stat = slurp("/proc/" + std::string(e->d_name) + "/stat");
            size_t close = stat.rfind(')');
            bool zombie = close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
            if (!zombie && cmd.compare(0, exe.size() + 1, exe + std::string(1, '\0')) == 0)
                pids.push_back(pid);
        }
        closedir(d);
        return pids;
    }

    platform::TestRoot root;
    std::vector<pid_t> monitors;
};

}  // namespace mon
