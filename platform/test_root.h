// Test helper: a fresh machine root for one test case, removed afterwards.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace platform {

class TestRoot {
public:
    TestRoot() {
        char tmpl[] = "/tmp/kvlb-root-XXXXXX";
        const char* made = mkdtemp(tmpl);
        path_ = made ? made : "";
        previous_ = std::getenv("KVLB_ROOT") ? std::getenv("KVLB_ROOT") : "";
        setenv("KVLB_ROOT", path_.c_str(), 1);
    }
    ~TestRoot() {
        if (previous_.empty()) unsetenv("KVLB_ROOT"); else setenv("KVLB_ROOT", previous_.c_str(), 1);
        if (!std::getenv("KVLB_KEEP_ROOT")) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;
    const std::string& path() const { return path_; }
    // Host path of a Windows path on drive C: ("Windows\\System32" -> <root>/c/Windows/System32).
    std::string c(const std::string& rel = "") const {
        std::string p = path_ + "/c/" + rel;
        for (auto& ch : p) if (ch == '\\') ch = '/';
        return p;
    }

private:
    std::string path_;
    std::string previous_;
};

}  // namespace platform
