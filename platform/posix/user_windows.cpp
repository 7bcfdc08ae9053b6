// The desktop's registry of windows: <root>/desktop/windows lists every window of the root and
// <root>/desktop/messages the registered message names, read and rewritten under an flock so that
// every process sees the same desktop (entries of processes that died are dropped when read); and
// this process's own table of classes and windows.
#include "platform/root.h"
#include "platform/posix/win_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform::desktop {
namespace {

// ---- small text helpers -----------------------------------------------------------------------

std::wstring wideFromUtf8(const std::string& s) {
    std::wstring out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = (unsigned char)s[i];
        uint32_t c;
        int extra;
        if (b < 0x80) {
            c = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else {
            out += (wchar_t)0xFFFD;
            ++i;
            continue;
        }
        if (i + extra >= s.size() + (extra ? 0 : 1)) {
            out += (wchar_t)0xFFFD;
            break;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char n = (unsigned char)s[i + k];
            if ((n & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (n & 0x3F);
        }
        if (!ok) {
            out += (wchar_t)0xFFFD;
            ++i;
            continue;
        }
        out += (wchar_t)c;
        i += extra + 1;
    }
    return out;
}

std::string hexOf(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

std::string unhex(const std::string& h) {
    if (h == "-") return "";
    std::string out;
    auto val = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        int a = val(h[i]), b = val(h[i + 1]);
        if (a < 0 || b < 0) break;
        out += (char)(a * 16 + b);
    }
    return out;
}

// ---- processes ------------------------------------------------------------------------------

// Start time of a process in clock ticks since boot, 0 when it is gone or a zombie: a pid alone
// could be reused by a later process.
unsigned long long processStart(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE* f = fopen(path, "r");
    if (!f) return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');
    if (!p) return 0;
    ++p;
    char state = 0;
    unsigned long long start = 0;
    // after the name: state (field 3) ... starttime (field 22)
    int field = 2;
    const char* q = p;
    while (*q && field < 22) {
        while (*q == ' ') ++q;
        ++field;
        if (field == 3) state = *q;
        if (field == 22) {
            start = strtoull(q, nullptr, 10);
            break;
        }
        while (*q && *q != ' ') ++q;
    }
    if (state == 'Z' || state == 'X') return 0;
    return start ? start : 1;
}

// One "W" line of the windows file, as save() writes it.
bool parseWindow(const std::string& line, Entry* e) {
    char cls[2048], title[4096];
    unsigned long long h, start, parent;
    int pid, notify;
    unsigned tid, style, ex;
    if (sscanf(line.c_str(), "W %llx %d %llu %u %llx %x %x %d %2047s %4095s", &h, &pid, &start, &tid, &parent,
               &style, &ex, &notify, cls, title) != 10)
        return false;
    e->hwnd = (uintptr_t)h;
    e->pid = pid;
    e->start = start;
    e->tid = tid;
    e->parent = (uintptr_t)parent;
    e->style = style;
    e->exStyle = ex;
    e->notify = notify;
    e->cls = wideFromUtf8(unhex(cls));
    e->title = wideFromUtf8(unhex(title));
    return true;
}

}  // namespace

unsigned long long ownStart() {
    static unsigned long long start = processStart(getpid());
    return start;
}

std::string desktopDir() {
    return platform::rootDir() + "/desktop";
}

void makeDirs(const std::string& dir) {
    std::string part;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            if (!part.empty()) mkdir(part.c_str(), 0777);
        }
        if (i < dir.size()) part += dir[i];
    }
}

// ---- the registry -------------------------------------------------------------------------

Registry::Registry(bool write) : write_(write) {
    dir_ = desktopDir();
    makeDirs(dir_);
    lockFd_ = open((dir_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd_ >= 0) {
        while (flock(lockFd_, write ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
        }
    }
    load();
}

Registry::~Registry() {
    if (write_ && dirty_) save();
    if (lockFd_ >= 0) close(lockFd_);
}

Entry* Registry::find(uintptr_t h) {
    for (auto& e : windows)
        if (e.hwnd == h) return &e;
    return nullptr;
}

bool Registry::remove(uintptr_t h) {
    auto it = std::find_if(windows.begin(), windows.end(), [h](const Entry& e) { return e.hwnd == h; });
    if (it == windows.end()) return false;
    windows.erase(it);
    dirty_ = true;
    return true;
}

void Registry::writeAll(const std::string& path, const std::string& text) {
    std::string tmp = path + ".new";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    rename(tmp.c_str(), path.c_str());
}

void Registry::load() {
    std::string text = platform::readFile(dir_ + "/windows");
    size_t pos = 0;
    std::map<pid_t, bool> alive;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.rfind("N ", 0) == 0) {
            nextHandle = (uintptr_t)strtoull(line.c_str() + 2, nullptr, 16);
            continue;
        }
        Entry e;
        if (line.rfind("W ", 0) != 0 || !parseWindow(line, &e)) continue;
        auto it = alive.find(e.pid);
        if (it == alive.end()) {
            bool live = e.pid == getpid() ? e.start == ownStart() : processStart(e.pid) == e.start;
            it = alive.emplace(e.pid, live).first;
        }
        if (!it->second) {
            dirty_ = true;  // a window of a process that died: gone from the desktop
            continue;
        }
        windows.push_back(std::move(e));
    }
    std::string msgs = platform::readFile(dir_ + "/messages");
    pos = 0;
    while (pos < msgs.size()) {
        size_t end = msgs.find('\n', pos);
        if (end == std::string::npos) end = msgs.size();
        std::string line = msgs.substr(pos, end - pos);
        pos = end + 1;
        unsigned number;
        char name[2048];
        if (sscanf(line.c_str(), "%x %2047s", &number, name) == 2)
            messages.emplace_back(number, wideFromUtf8(unhex(name)));
    }
    msgsLoaded_ = messages.size();
}

void Registry::save() {
    std::string text;
    char head[64];
    snprintf(head, sizeof head, "N %llx\n", (unsigned long long)nextHandle);
    text += head;
    for (auto& e : windows) {
        char buf[160];
        snprintf(buf, sizeof buf, "W %llx %d %llu %u %llx %x %x %d ", (unsigned long long)e.hwnd, (int)e.pid,
                 e.start, e.tid, (unsigned long long)e.parent, e.style, e.exStyle, e.notify);
        text += buf;
        text += hexOf(platform::toUtf8(e.cls));
        text += ' ';
        text += hexOf(platform::toUtf8(e.title));
        text += '\n';
    }
    writeAll(dir_ + "/windows", text);
    if (messages.size() != msgsLoaded_) {
        std::string m;
        for (auto& [n, name] : messages) {
            char buf[32];
            snprintf(buf, sizeof buf, "%x ", n);
            m += buf;
            m += hexOf(platform::toUtf8(name));
            m += '\n';
        }
        writeAll(dir_ + "/messages", m);
    }
}

bool readEntry(HWND window, Entry* out) {
    if (!window) return false;
    Registry reg(false);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) return false;
    *out = *e;
    return true;
}

// ---- this process's classes and windows ------------------------------------------------------

std::mutex& g_lock = platform::keptState<std::mutex>();
// key: lower case
std::map<std::wstring, LocalClass>& g_classes = platform::keptState<std::map<std::wstring, LocalClass>>();
std::map<uintptr_t, LocalWindow>& g_windows = platform::keptState<std::map<uintptr_t, LocalWindow>>();

bool localWindow(HWND h, LocalWindow* out) {
    std::lock_guard<std::mutex> l(g_lock);
    auto it = g_windows.find((uintptr_t)h);
    if (it == g_windows.end() || it->second.root != platform::rootDir()) return false;
    if (out) *out = it->second;
    return true;
}

void destroyThreadWindows(ThreadQueue* q) {
    std::vector<uintptr_t> mine;
    {
        std::lock_guard<std::mutex> l(g_lock);
        for (auto it = g_windows.begin(); it != g_windows.end();) {
            if (it->second.queue.get() == q) {
                mine.push_back(it->first);
                it = g_windows.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (mine.empty()) return;
    Registry reg(true);
    for (auto h : mine) reg.remove(h);
}

}  // namespace platform::desktop
