// Desktop windows and messages. Two halves:
//  - the registry under <root>/desktop: one text file of all windows of the root, read and
//    rewritten under an flock, so every process sees the same desktop; entries of processes that
//    died are dropped when read;
//  - the queues: one per thread of this process, fed by the thread itself, by other threads, and
//    by a listener that takes messages from other processes over <root>/desktop/p<pid>.
#include "platform/win_user.h"

#include "platform/root.h"
#include "platform/posix/win_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

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

std::wstring lowered(const std::wstring& a) {
    std::wstring out(a);
    for (auto& c : out) c = asciiLower(c);
    return out;
}

std::wstring wideOrEmpty(LPCWSTR s) {
    return s ? std::wstring(s) : std::wstring();
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

unsigned long long ownStart() {
    static unsigned long long start = processStart(getpid());
    return start;
}

// ---- the registry -------------------------------------------------------------------------

struct Entry {
    uintptr_t hwnd = 0;
    pid_t pid = 0;
    unsigned long long start = 0;
    DWORD tid = 0;
    uintptr_t parent = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    int notify = 0;
    std::wstring cls;
    std::wstring title;
};

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

// One flock-held view of the registry files. Writers rewrite the file while holding the lock.
class Registry {
  public:
    explicit Registry(bool write) : write_(write) {
        dir_ = desktopDir();
        makeDirs(dir_);
        lockFd_ = open((dir_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lockFd_ >= 0) {
            while (flock(lockFd_, write ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
        load();
    }
    ~Registry() {
        if (write_ && dirty_) save();
        if (lockFd_ >= 0) close(lockFd_);
    }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    std::vector<Entry> windows;  // newest first
    uintptr_t nextHandle = 0x10010;
    std::vector<std::pair<UINT, std::wstring>> messages;
    void touch() { dirty_ = true; }
    Entry* find(uintptr_t h) {
        for (auto& e : windows)
            if (e.hwnd == h) return &e;
        return nullptr;
    }
    bool remove(uintptr_t h) {
        auto it = std::find_if(windows.begin(), windows.end(), [h](const Entry& e) { return e.hwnd == h; });
        if (it == windows.end()) return false;
        windows.erase(it);
        dirty_ = true;
        return true;
    }

  private:
    static void writeAll(const std::string& path, const std::string& text) {
        std::string tmp = path + ".new";
        FILE* f = fopen(tmp.c_str(), "w");
        if (!f) return;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        rename(tmp.c_str(), path.c_str());
    }
    void load() {
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
            if (line.rfind("W ", 0) != 0) continue;
            char cls[2048], title[4096];
            unsigned long long h, start, parent;
            int pid, notify;
            unsigned tid, style, ex;
            if (sscanf(line.c_str(), "W %llx %d %llu %u %llx %x %x %d %2047s %4095s", &h, &pid, &start, &tid,
                       &parent, &style, &ex, &notify, cls, title) != 10)
                continue;
            Entry e;
            e.hwnd = (uintptr_t)h;
            e.pid = pid;
            e.start = start;
            e.tid = tid;
            e.parent = (uintptr_t)parent;
            e.style = style;
            e.exStyle = ex;
            e.notify = notify;
            e.cls = wideFromUtf8(unhex(cls));
            e.title = wideFromUtf8(unhex(title));
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
    void save() {
        std::string text;
        char head[64];
        snprintf(head, sizeof head, "N %llx\n", (unsigned long long)nextHandle);
        text += head;
        for (auto& e : windows) {
            char buf[160];
            snprintf(buf, sizeof buf, "W %llx %d %llu %u %llx %x %x %d ", (unsigned long long)e.hwnd,
                     (int)e.pid, e.start, e.tid, (unsigned long long)e.parent, e.style, e.exStyle, e.notify);
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

    bool write_;
    bool dirty_ = false;
    int lockFd_ = -1;
    size_t msgsLoaded_ = 0;
    std::string dir_;
};

bool readEntry(HWND window, Entry* out) {
    if (!window) return false;
    Registry reg(false);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) return false;
    *out = *e;
    return true;
}

// ---- this process: classes, windows, queues ---------------------------------------------------

struct ThreadQueue;

struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool copyData = false;  // lParam is rebuilt from the fields below
    COPYDATASTRUCT cds{};
    std::vector<char> data;
    bool dataNull = true;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool ok = false;
    LRESULT result = 0;
    std::shared_ptr<ThreadQueue> waiter;  // a thread of this process waiting for the answer
};

struct ThreadQueue {
    ThreadQueue() { fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~ThreadQueue() {
        if (fd >= 0) close(fd);
    }
    void wake() {
        uint64_t one = 1;
        if (fd >= 0) {
            ssize_t r = ::write(fd, &one, sizeof one);
            (void)r;
        }
    }
    void drain() {
        uint64_t v;
        if (fd >= 0) {
            ssize_t r = ::read(fd, &v, sizeof v);
            (void)r;
        }
    }
    DWORD tid = 0;
    int fd = -1;
    std::mutex m;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quit = false;
    int quitCode = 0;
    bool alive = true;
};

struct LocalClass {
    std::wstring name;
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
};

struct LocalWindow {
    std::wstring cls;
    WNDPROC proc = nullptr;
    std::shared_ptr<ThreadQueue> queue;
    std::string root;  // the machine root the window was made under
    bool destroying = false;
};

// Guards the tables below, never held while a window procedure runs.
std::mutex& g_lock = platform::keptState<std::mutex>();
// key: lower case
std::map<std::wstring, LocalClass>& g_classes = platform::keptState<std::map<std::wstring, LocalClass>>();
std::map<uintptr_t, LocalWindow>& g_windows = platform::keptState<std::map<uintptr_t, LocalWindow>>();
std::vector<std::shared_ptr<ThreadQueue>>& g_queues =
    platform::keptState<std::vector<std::shared_ptr<ThreadQueue>>>();

void destroyThreadWindows(ThreadQueue* q);

// Ends with the thread: its windows leave the desktop and whoever waits on it is answered.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> q;
    ~QueueHolder() {
        if (!q) return;
        destroyThreadWindows(q.get());
        std::deque<std::shared_ptr<SentMessage>> pending;
        {
            std::lock_guard<std::mutex> l(q->m);
            q->alive = false;
            pending.swap(q->sent);
        }
        for (auto& s : pending) {
            std::lock_guard<std::mutex> l(s->m);
            s->done = true;
            s->ok = false;
            s->cv.notify_all();
            if (s->waiter) s->waiter->wake();
        }
        std::lock_guard<std::mutex> l(g_lock);
        g_queues.erase(std::remove(g_queues.begin(), g_queues.end(), q), g_queues.end());
    }
};
thread_local QueueHolder t_queue;

std::shared_ptr<ThreadQueue> myQueue() {
    if (!t_queue.q) {
        auto q = std::make_shared<ThreadQueue>();
        q->tid = GetCurrentThreadId();
        t_queue.q = q;
        std::lock_guard<std::mutex> l(g_lock);
        g_queues.push_back(q);
    }
    return t_queue.q;
}

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

// ---- the listener for other processes ------------------------------------------------------

// Wire form of one message between processes. The reply is {int32 ok, int64 result}.
struct WireMessage {
    uint32_t magic;
    uint32_t kind;  // 1 post, 2 send
    uint64_t hwnd;
    uint32_t message;
    uint32_t dataNull;
    uint64_t wParam;
    int64_t lParam;
    uint64_t dwData;
    uint32_t cbData;
    uint32_t pad;
};
struct WireReply {
    int32_t ok;
    int32_t pad;
    int64_t result;
};
constexpr uint32_t kMagic = 0x4b564c42;
constexpr uint32_t kMaxCopyData = 64u << 20;

bool writeFull(int fd, const void* p, size_t n) {
    const char* c = (const char*)p;
    while (n) {
        ssize_t w = ::send(fd, c, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        c += w;
        n -= (size_t)w;
    }
    return true;
}

bool readFull(int fd, void* p, size_t n) {
    char* c = (char*)p;
    while (n) {
        ssize_t r = ::recv(fd, c, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        c += r;
        n -= (size_t)r;
    }
    return true;
}

// sockaddr for a path; paths too long for sun_path go through the folder's descriptor.
bool socketAddress(const std::string& path, sockaddr_un* addr, int* dirFd) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    *dirFd = -1;
    if (path.size() < sizeof addr->sun_path) {
        memcpy(addr->sun_path, path.c_str(), path.size() + 1);
        return true;
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    *dirFd = open(path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (*dirFd < 0) return false;
    std::string alias = "/proc/self/fd/" + std::to_string(*dirFd) + path.substr(slash);
    if (alias.size() >= sizeof addr->sun_path) {
        close(*dirFd);
        *dirFd = -1;
        return false;
    }
    memcpy(addr->sun_path, alias.c_str(), alias.size() + 1);
    return true;
}

std::string processSocket(pid_t pid) {
    return desktopDir() + "/p" + std::to_string((int)pid);
}

bool deliverLocal(const std::shared_ptr<SentMessage>& s, bool post);
LRESULT callProc(HWND h, WNDPROC proc, UINT msg, WPARAM w, LPARAM l) {
    return proc ? proc(h, msg, w, l) : 0;
}

void serveConnection(int fd) {
    WireMessage w{};
    if (!readFull(fd, &w, sizeof w) || w.magic != kMagic || w.cbData > kMaxCopyData) {
        close(fd);
        return;
    }
    auto s = std::make_shared<SentMessage>();
    s->hwnd = (HWND)(uintptr_t)w.hwnd;
    s->message = w.message;
    s->wParam = (WPARAM)w.wParam;
    s->lParam = (LPARAM)w.lParam;
    if (w.message == WM_COPYDATA && w.kind == 2) {
        s->copyData = true;
        s->dataNull = w.dataNull != 0;
        s->data.resize(w.cbData);
        if (w.cbData && !readFull(fd, s->data.data(), w.cbData)) {
            close(fd);
            return;
        }
        s->cds.dwData = (ULONG_PTR)w.dwData;
    }
    WireReply r{};
    if (w.kind == 1) {
        r.ok = deliverLocal(s, true) ? 1 : 0;
    } else if (deliverLocal(s, false)) {
        std::unique_lock<std::mutex> l(s->m);
        s->cv.wait(l, [&] { return s->done; });
        r.ok = s->ok ? 1 : 0;
        r.result = s->result;
    }
    writeFull(fd, &r, sizeof r);
    close(fd);
}

struct Listener {
    pid_t pid = 0;
    std::string root;
    std::string path;
    int fd = -1;
};
std::mutex& g_listenLock = platform::keptState<std::mutex>();
Listener& g_listener = platform::keptState<Listener>();

void acceptLoop(int fd) {
    for (;;) {
        int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE) usleep(10000);
                continue;
            }
            break;  // the listener was closed: this process moved to another root
        }
        std::thread(serveConnection, c).detach();
    }
    close(fd);
}

// Makes sure other processes of the current root can reach this one.
bool ensureListener() {
    std::string root = platform::rootDir();
    std::lock_guard<std::mutex> l(g_listenLock);
    if (g_listener.fd >= 0 && g_listener.root == root && g_listener.pid == getpid()) {
        struct stat st;
        if (stat(g_listener.path.c_str(), &st) == 0) return true;
    }
    if (g_listener.fd >= 0) {
        shutdown(g_listener.fd, SHUT_RDWR);
        g_listener.fd = -1;
    }
    makeDirs(desktopDir());
    std::string path = processSocket(getpid());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr;
    int dirFd;
    if (!socketAddress(path, &addr, &dirFd)) {
        close(fd);
        return false;
    }
    unlink(addr.sun_path);
    bool ok = bind(fd, (sockaddr*)&addr, sizeof addr) == 0 && listen(fd, 64) == 0;
    if (dirFd >= 0) close(dirFd);
    if (!ok) {
        close(fd);
        return false;
    }
    g_listener.pid = getpid();
    g_listener.root = root;
    g_listener.path = path;
    g_listener.fd = fd;
    std::thread(acceptLoop, fd).detach();
    return true;
}

// ---- delivery --------------------------------------------------------------------------------

void finish(const std::shared_ptr<SentMessage>& s, bool ok, LRESULT result) {
    std::lock_guard<std::mutex> l(s->m);
    s->done = true;
    s->ok = ok;
    s->result = result;
    s->cv.notify_all();
    if (s->waiter) s->waiter->wake();
}

// Queues a message for the thread that owns a window of this process.
bool deliverLocal(const std::shared_ptr<SentMessage>& s, bool post) {
    LocalWindow w;
    if (!localWindow(s->hwnd, &w) || !w.queue) return false;
    std::lock_guard<std::mutex> l(w.queue->m);
    if (!w.queue->alive) return false;
    if (post) {
        MSG m{};
        m.hwnd = s->hwnd;
        m.message = s->message;
        m.wParam = s->wParam;
        m.lParam = s->lParam;
        m.time = GetTickCount();
        w.queue->posted.push_back(m);
    } else {
        w.queue->sent.push_back(s);
    }
    w.queue->wake();
    return true;
}

// Runs the sent messages waiting for this thread.
void handleSent(ThreadQueue* q) {
    for (;;) {
        std::shared_ptr<SentMessage> s;
        {
            std::lock_guard<std::mutex> l(q->m);
            if (q->sent.empty()) return;
            s = q->sent.front();
            q->sent.pop_front();
        }
        LocalWindow w;
        if (!localWindow(s->hwnd, &w) || w.queue.get() != q) {
            finish(s, false, 0);
            continue;
        }
        LPARAM l = s->lParam;
        if (s->copyData) {
            s->cds.cbData = s->dataNull ? 0 : (DWORD)s->data.size();
            s->cds.lpData = s->dataNull ? nullptr : (s->data.empty() ? (void*)"" : s->data.data());
            l = (LPARAM)&s->cds;
        }
        LRESULT r = callProc(s->hwnd, w.proc, s->message, s->wParam, l);
        finish(s, true, r);
    }
}

// Messages whose lParam points into the sender's memory and that do not cross processes.
bool pointerMessage(UINT msg) {
    return msg == WM_CREATE || msg == WM_NCCREATE || msg == WM_SETTEXT || msg == WM_GETTEXT;
}

int connectTo(pid_t pid) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr;
    int dirFd;
    if (!socketAddress(processSocket(pid), &addr, &dirFd)) {
        close(fd);
        return -1;
    }
    int r;
    do r = connect(fd, (sockaddr*)&addr, sizeof addr);
    while (r != 0 && errno == EINTR);
    if (dirFd >= 0) close(dirFd);
    if (r != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int64_t monoMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int remaining(int64_t deadline) {
    if (deadline < 0) return -1;
    int64_t left = deadline - monoMs();
    return left < 0 ? 0 : (int)std::min<int64_t>(left, 1 << 30);
}

enum class Outcome { Ok, NoWindow, Timeout };

// One message to one window; send waits for the answer (deadline -1: forever).
Outcome deliver(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, bool post, int64_t deadline,
                LRESULT* result) {
    *result = 0;
    Entry e;
    LocalWindow lw;
    bool local = localWindow(hwnd, &lw);
    if (!readEntry(hwnd, &e)) return Outcome::NoWindow;
    auto me = myQueue();
    if (local) {
        if (!post && lw.queue == me) {  // own window: called at once, as Windows does
            *result = callProc(hwnd, lw.proc, msg, wParam, lParam);
            return Outcome::Ok;
        }
        auto s = std::make_shared<SentMessage>();
        s->hwnd = hwnd;
        s->message = msg;
        s->wParam = wParam;
        s->lParam = lParam;
        if (msg == WM_COPYDATA && !post) {
            // copied, so that a sender that gives up early may free its buffer
            const COPYDATASTRUCT* cds = (const COPYDATASTRUCT*)lParam;
            s->copyData = cds != nullptr;
            if (cds) {
                s->cds.dwData = cds->dwData;
                s->dataNull = cds->lpData == nullptr;
                if (cds->lpData && cds->cbData)
                    s->data.assign((const char*)cds->lpData, (const char*)cds->lpData + cds->cbData);
            }
        }
        if (post) return deliverLocal(s, true) ? Outcome::Ok : Outcome::NoWindow;
        s->waiter = me;
        if (!deliverLocal(s, false)) return Outcome::NoWindow;
        for (;;) {
            {
                std::lock_guard<std::mutex> l(s->m);
                if (s->done) {
                    *result = s->result;
                    return s->ok ? Outcome::Ok : Outcome::NoWindow;
                }
            }
            handleSent(me.get());
            pollfd p{me->fd, POLLIN, 0};
            int wait = remaining(deadline);
            if (wait == 0) {
                std::lock_guard<std::mutex> l(s->m);
                if (!s->done) return Outcome::Timeout;
                continue;
            }
            poll(&p, 1, wait);
            me->drain();
        }
    }
    if (e.pid == getpid()) return Outcome::NoWindow;  // ours, but made under another root
    if (pointerMessage(msg)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Outcome::NoWindow;
    }
    int fd = connectTo(e.pid);
    if (fd < 0) return Outcome::NoWindow;
    WireMessage w{};
    w.magic = kMagic;
    w.kind = post ? 1 : 2;
    w.hwnd = (uint64_t)(uintptr_t)hwnd;
    w.message = msg;
    w.wParam = (uint64_t)wParam;
    w.lParam = (int64_t)lParam;
    w.dataNull = 1;
    const COPYDATASTRUCT* cds = nullptr;
    if (msg == WM_COPYDATA && !post) {
        cds = (const COPYDATASTRUCT*)lParam;
        if (cds) {
            w.dwData = cds->dwData;
            w.dataNull = cds->lpData == nullptr;
            w.cbData = cds->lpData ? cds->cbData : 0;
            if (w.cbData > kMaxCopyData) {
                close(fd);
                SetLastError(ERROR_INVALID_PARAMETER);
                return Outcome::NoWindow;
            }
        }
        w.lParam = 0;
    }
    bool ok = writeFull(fd, &w, sizeof w) && (!w.cbData || writeFull(fd, cds->lpData, w.cbData));
    if (!ok) {
        close(fd);
        return Outcome::NoWindow;
    }
    // While waiting, this thread still answers sends to its own windows, so that two windows
    // sending to each other do not lock up.
    WireReply r{};
    size_t got = 0;
    for (;;) {
        handleSent(me.get());
        pollfd p[2] = {{fd, POLLIN, 0}, {me->fd, POLLIN, 0}};
        int wait = remaining(deadline);
        if (wait == 0) {
            close(fd);
            return Outcome::Timeout;
        }
        int n = poll(p, 2, wait);
        if (n < 0 && errno != EINTR) break;
        if (p[1].revents) me->drain();
        if (p[0].revents) {
            ssize_t k = recv(fd, (char*)&r + got, sizeof r - got, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) break;  // the receiving process ended
            got += (size_t)k;
            if (got == sizeof r) {
                close(fd);
                *result = (LRESULT)r.result;
                return r.ok ? Outcome::Ok : Outcome::NoWindow;
            }
        }
    }
    close(fd);
    return Outcome::NoWindow;
}

std::vector<HWND> topLevelWindows() {
    std::vector<HWND> out;
    Registry reg(false);
    for (auto& e : reg.windows)
        if (!(e.style & WS_CHILD)) out.push_back((HWND)e.hwnd);
    return out;
}

bool matches(const Entry& e, LPCWSTR cls, LPCWSTR title) {
    if (cls && !platform::iequals(e.cls, cls)) return false;
    if (title && !platform::iequals(e.title, title)) return false;
    return true;
}

// Accepts the filter of GetMessage / PeekMessage: NULL any window of the thread and thread
// messages, (HWND)-1 thread messages only, else that window.
bool filterMatch(const MSG& m, HWND window, UINT lo, UINT hi) {
    if (window == (HWND)(intptr_t)-1) {
        if (m.hwnd) return false;
    } else if (window && m.hwnd != window) {
        return false;
    }
    if (lo == 0 && hi == 0) return true;
    return m.message >= lo && m.message <= hi;
}

// Shared body of GetMessage and PeekMessage: 1 message, 0 WM_QUIT, -1 nothing (peek only).
int takeMessage(LPMSG msg, HWND window, UINT lo, UINT hi, bool wait, bool remove) {
    auto q = myQueue();
    for (;;) {
        handleSent(q.get());
        {
            std::lock_guard<std::mutex> l(q->m);
            for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
                if (!filterMatch(*it, window, lo, hi)) continue;
                if (msg) *msg = *it;
                if (remove) q->posted.erase(it);
                return msg && msg->message == WM_QUIT ? 0 : 1;
            }
            if (q->quit) {
                if (msg) {
                    memset(msg, 0, sizeof *msg);
                    msg->message = WM_QUIT;
                    msg->wParam = (WPARAM)q->quitCode;
                    msg->time = GetTickCount();
                }
                if (remove) q->quit = false;
                return 0;
            }
        }
        if (!wait) return -1;
        pollfd p{q->fd, POLLIN, 0};
        poll(&p, 1, -1);
        q->drain();
    }
}

}  // namespace

// ==== classes and windows ====================================================================

ATOM RegisterClassW(const WNDCLASSW* wc) {
    if (!wc || !wc->lpszClassName || !wc->lpszClassName[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> l(g_lock);
    std::wstring key = lowered(wc->lpszClassName);
    if (g_classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    LocalClass c;
    c.name = wc->lpszClassName;
    c.proc = wc->lpfnWndProc;
    c.instance = wc->hInstance;
    g_classes[key] = c;
    static std::atomic<unsigned> atoms{0xC100};
    return (ATOM)(atoms++ & 0xFFFF);
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> l(g_lock);
    std::wstring key = lowered(className);
    auto it = g_classes.find(key);
    if (it == g_classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    std::string root = platform::rootDir();
    for (auto& [h, w] : g_windows) {
        if (w.root == root && lowered(w.cls) == key) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    g_classes.erase(it);
    return TRUE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    LocalClass cls;
    {
        std::lock_guard<std::mutex> l(g_lock);
        auto it = className ? g_classes.find(lowered(className)) : g_classes.end();
        if (it == g_classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        cls = it->second;
    }
    if ((style & WS_CHILD) && !IsWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (!ensureListener()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto q = myQueue();
    std::string root = platform::rootDir();
    uintptr_t h;
    {
        Registry reg(true);
        {
            std::lock_guard<std::mutex> l(g_lock);
            do {
                h = reg.nextHandle;
                reg.nextHandle += 2;
                if (reg.nextHandle > 0x7FFFFFF0u) reg.nextHandle = 0x10010;
            } while (g_windows.count(h) || reg.find(h));
            LocalWindow lw;
            lw.cls = cls.name;
            lw.proc = cls.proc;
            lw.queue = q;
            lw.root = root;
            g_windows[h] = lw;
        }
        Entry e;
        e.hwnd = h;
        e.pid = getpid();
        e.start = ownStart();
        e.tid = q->tid;
        e.parent = (uintptr_t)parent;
        e.style = style;
        e.exStyle = exStyle & WS_EX_TOPMOST;
        e.cls = cls.name;
        e.title = wideOrEmpty(windowName);
        reg.windows.insert(reg.windows.begin(), e);
        reg.touch();
    }
    HWND hwnd = (HWND)h;
    CREATESTRUCTW cs{};
    cs.lpCreateParams = param;
    cs.hInstance = instance;
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cx = width;
    cs.cy = height;
    cs.x = x;
    cs.y = y;
    cs.style = (LONG)style;
    cs.lpszName = windowName;
    cs.lpszClass = className;
    cs.dwExStyle = exStyle;
    if (!callProc(hwnd, cls.proc, WM_NCCREATE, 0, (LPARAM)&cs) ||
        callProc(hwnd, cls.proc, WM_CREATE, 0, (LPARAM)&cs) == -1) {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        return nullptr;
    }
    return hwnd;
}

BOOL IsWindow(HWND window) {
    Entry e;
    return readEntry(window, &e) ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND window) {
    LocalWindow lw;
    if (!localWindow(window, &lw)) {
        SetLastError(IsWindow(window) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (lw.queue != myQueue()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> l(g_lock);
        auto it = g_windows.find((uintptr_t)window);
        if (it == g_windows.end() || it->second.destroying) return TRUE;
        it->second.destroying = true;
    }
    callProc(window, lw.proc, WM_DESTROY, 0, 0);
    // children go with their parent
    std::vector<HWND> children;
    {
        Registry reg(false);
        for (auto& e : reg.windows)
            if (e.parent == (uintptr_t)window && (e.style & WS_CHILD)) children.push_back((HWND)e.hwnd);
    }
    for (HWND c : children) DestroyWindow(c);
    callProc(window, lw.proc, WM_NCDESTROY, 0, 0);
    {
        Registry reg(true);
        reg.remove((uintptr_t)window);
    }
    std::lock_guard<std::mutex> l(g_lock);
    g_windows.erase((uintptr_t)window);
    return TRUE;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM lParam) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_SETTEXT:
            return SetWindowTextW(window, (LPCWSTR)lParam);
        default:
            return 0;
    }
}

// ==== message queues =========================================================================

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (window && window != (HWND)(intptr_t)-1 && !localWindow(window, nullptr)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    return takeMessage(msg, window, filterMin, filterMax, true, true);
}

BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
    int r = takeMessage(msg, window, filterMin, filterMax, false, (removeFlags & PM_REMOVE) != 0);
    return r >= 0 ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}  // no keyboard here, so nothing to translate

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;
    LocalWindow lw;
    if (!localWindow(msg->hwnd, &lw) || lw.queue != myQueue()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return callProc(msg->hwnd, lw.proc, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT ignored;
    if (!window) return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
    if (window == HWND_BROADCAST) {
        for (HWND h : topLevelWindows()) deliver(h, message, wParam, lParam, true, -1, &ignored);
        return TRUE;
    }
    if (!localWindow(window, nullptr) && pointerMessage(message)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (deliver(window, message, wParam, lParam, true, -1, &ignored) != Outcome::Ok) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> target;
    if (threadId == GetCurrentThreadId()) {
        target = myQueue();
    } else {
        std::lock_guard<std::mutex> l(g_lock);
        for (auto& q : g_queues)
            if (q->tid == threadId) target = q;
    }
    if (!target) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    std::lock_guard<std::mutex> l(target->m);
    if (!target->alive) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    MSG m{};
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    target->posted.push_back(m);
    target->wake();
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    auto q = myQueue();
    std::lock_guard<std::mutex> l(q->m);
    q->quit = true;
    q->quitCode = exitCode;
    q->wake();
}

LRESULT SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT, UINT timeoutMs,
                            DWORD_PTR* result) {
    LRESULT r = 0;
    int64_t deadline = timeoutMs == INFINITE ? -1 : monoMs() + timeoutMs;
    if (window == HWND_BROADCAST) {
        for (HWND h : topLevelWindows()) {
            int64_t each = timeoutMs == INFINITE ? -1 : monoMs() + timeoutMs;
            deliver(h, message, wParam, lParam, false, each, &r);
        }
        if (result) *result = 0;
        return TRUE;
    }
    Outcome o = deliver(window, message, wParam, lParam, false, deadline, &r);
    if (result) *result = (DWORD_PTR)r;
    if (o == Outcome::Ok) return TRUE;
    SetLastError(o == Outcome::Timeout ? ERROR_TIMEOUT : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT r = 0;
    if (window == HWND_BROADCAST) {
        for (HWND h : topLevelWindows()) deliver(h, message, wParam, lParam, false, -1, &r);
        return 0;
    }
    if (deliver(window, message, wParam, lParam, false, -1, &r) != Outcome::Ok) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return r;
}

UINT RegisterWindowMessageW(LPCWSTR name) {
    if (!name || !name[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Registry reg(true);
    UINT highest = 0xBFFF;
    for (auto& [n, text] : reg.messages) {
        if (platform::iequals(text, name)) return n;
        highest = std::max(highest, n);
    }
    if (highest >= 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    reg.messages.emplace_back(highest + 1, name);
    reg.touch();
    return highest + 1;
}

// ==== finding and reading windows ============================================================

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    return FindWindowExW(nullptr, nullptr, className, windowName);
}

HWND FindWindowExW(HWND parent, HWND childAfter, LPCWSTR className, LPCWSTR windowName) {
    if (parent == HWND_MESSAGE) return nullptr;  // no message-only windows on this desktop
    Registry reg(false);
    bool started = childAfter == nullptr;
    for (auto& e : reg.windows) {
        bool child = (e.style & WS_CHILD) != 0;
        bool inScope = parent ? (child && e.parent == (uintptr_t)parent) : !child;
        if (!inScope) continue;
        if (!started) {
            if (e.hwnd == (uintptr_t)childAfter) started = true;
            continue;
        }
        if (matches(e, className, windowName)) return (HWND)e.hwnd;
    }
    return nullptr;
}

BOOL EnumWindows(WNDENUMPROC proc, LPARAM param) {
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // a snapshot, so the callback may create, destroy or move windows
    for (HWND h : topLevelWindows())
        if (!proc(h, param)) return FALSE;
    return TRUE;
}

BOOL EnumChildWindows(HWND parent, WNDENUMPROC proc, LPARAM param) {
    if (!parent) return EnumWindows(proc, param);
    if (!proc) return FALSE;
    std::vector<HWND> found;
    {
        Registry reg(false);
        std::vector<uintptr_t> frontier{(uintptr_t)parent};
        while (!frontier.empty()) {
            uintptr_t p = frontier.back();
            frontier.pop_back();
            for (auto& e : reg.windows) {
                if ((e.style & WS_CHILD) && e.parent == p) {
                    found.push_back((HWND)e.hwnd);
                    frontier.push_back(e.hwnd);
                }
            }
        }
    }
    for (HWND h : found)
        if (!proc(h, param)) break;
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        if (processId) *processId = 0;
        return 0;
    }
    if (processId) *processId = (DWORD)e.pid;
    return e.tid;
}

int GetWindowTextW(HWND window, LPWSTR text, int maxCount) {
    if (!text || maxCount <= 0) return 0;
    text[0] = 0;
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    int n = (int)std::min<size_t>(e.title.size(), (size_t)maxCount - 1);
    wmemcpy(text, e.title.data(), (size_t)n);
    text[n] = 0;
    return n;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    Registry reg(true);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    e->title = wideOrEmpty(text);
    reg.touch();
    return TRUE;
}

int GetClassNameW(HWND window, LPWSTR className, int maxCount) {
    if (!className || maxCount <= 0) return 0;
    className[0] = 0;
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    int n = (int)std::min<size_t>(e.cls.size(), (size_t)maxCount - 1);
    wmemcpy(className, e.cls.data(), (size_t)n);
    className[n] = 0;
    return n;
}

HWND GetParent(HWND window) {
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return (HWND)e.parent;
}

LONG GetWindowLongW(HWND window, int index) {
    Entry e;
    if (!readEntry(window, &e)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (index == GWL_STYLE) return (LONG)e.style;
    if (index == GWL_EXSTYLE) return (LONG)e.exStyle;
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

BOOL SetWindowPos(HWND window, HWND insertAfter, int, int, int, int, UINT flags) {
    Registry reg(true);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!(flags & SWP_NOZORDER)) {
        if (insertAfter == HWND_TOPMOST)
            e->exStyle |= WS_EX_TOPMOST;
        else if (insertAfter == HWND_NOTOPMOST)
            e->exStyle &= ~WS_EX_TOPMOST;
    }
    if (flags & SWP_SHOWWINDOW) e->style |= WS_VISIBLE;
    if (flags & SWP_HIDEWINDOW) e->style &= ~WS_VISIBLE;
    reg.touch();
    return TRUE;
}

// ==== session notifications ==================================================================

static BOOL setNotify(HWND window, int on) {
    Registry reg(true);
    Entry* e = reg.find((uintptr_t)window);
    if (!e) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    e->notify = on;
    reg.touch();
    return TRUE;
}

BOOL WTSRegisterSessionNotification(HWND window, DWORD) {
    return setNotify(window, 1);
}

namespace platform {

int listDesktopWindows(DesktopWindow* out, int capacity) {
    Registry reg(false);
    int n = 0;
    for (auto& e : reg.windows) {
        if (n >= capacity) break;
        DesktopWindow& d = out[n++];
        memset(&d, 0, sizeof d);
        d.window = (HWND)e.hwnd;
        d.processId = (DWORD)e.pid;
        d.threadId = e.tid;
        d.parent = (HWND)e.parent;
        d.style = e.style;
        d.exStyle = e.exStyle;
        d.sessionNotify = e.notify != 0;
        wcsncpy(d.className, e.cls.c_str(), 255);
        wcsncpy(d.title, e.title.c_str(), 511);
    }
    return n;
}

}  // namespace platform
