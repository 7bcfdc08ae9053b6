// Message queues and delivery: one queue per thread of this process, fed by the thread itself,
// by other threads, and by a listener that takes messages from other processes over
// <root>/desktop/p<pid>; sends wait for their answer while still running the sends made to their
// own thread.
#include "platform/root.h"
#include "platform/posix/win_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace platform::desktop {

// ---- the queues -------------------------------------------------------------------------------

ThreadQueue::ThreadQueue() {
    fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}
ThreadQueue::~ThreadQueue() {
    if (fd >= 0) close(fd);
}
void ThreadQueue::wake() {
    uint64_t one = 1;
    if (fd >= 0) {
        ssize_t r = ::write(fd, &one, sizeof one);
        (void)r;
    }
}
void ThreadQueue::drain() {
    uint64_t v;
    if (fd >= 0) {
        ssize_t r = ::read(fd, &v, sizeof v);
        (void)r;
    }
}

std::vector<std::shared_ptr<ThreadQueue>>& g_queues =
    platform::keptState<std::vector<std::shared_ptr<ThreadQueue>>>();

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

namespace {

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

int remaining(int64_t deadline) {
    if (deadline < 0) return -1;
    int64_t left = deadline - monoMs();
    return left < 0 ? 0 : (int)std::min<int64_t>(left, 1 << 30);
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

// A message to a window of this process, queued for the window's thread; a send waits for its answer.
Outcome deliverHere(HWND hwnd, const LocalWindow& lw, UINT msg, WPARAM wParam, LPARAM lParam, bool post,
                    int64_t deadline, const std::shared_ptr<ThreadQueue>& me, LRESULT* result) {
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

// Waits for the answer to a message sent to another process over fd, which it closes.
Outcome awaitReply(int fd, ThreadQueue* me, int64_t deadline, LRESULT* result) {
    // While waiting, this thread still answers sends to its own windows, so that two windows
    // sending to each other do not lock up.
    WireReply r{};
    size_t got = 0;
    for (;;) {
        handleSent(me);
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

// A message to a window of another process, handed over through that process's socket.
Outcome deliverAcross(HWND hwnd, pid_t pid, UINT msg, WPARAM wParam, LPARAM lParam, bool post,
                      int64_t deadline, ThreadQueue* me, LRESULT* result) {
    int fd = connectTo(pid);
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
    return awaitReply(fd, me, deadline, result);
}

}  // namespace

bool pointerMessage(UINT msg) {
    return msg == WM_CREATE || msg == WM_NCCREATE || msg == WM_SETTEXT || msg == WM_GETTEXT;
}

int64_t monoMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

Outcome deliver(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, bool post, int64_t deadline,
                LRESULT* result) {
    *result = 0;
    Entry e;
    LocalWindow lw;
    bool local = localWindow(hwnd, &lw);
    if (!readEntry(hwnd, &e)) return Outcome::NoWindow;
    auto me = myQueue();
    if (local) return deliverHere(hwnd, lw, msg, wParam, lParam, post, deadline, me, result);
    if (e.pid == getpid()) return Outcome::NoWindow;  // ours, but made under another root
    if (pointerMessage(msg)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return Outcome::NoWindow;
    }
    return deliverAcross(hwnd, e.pid, msg, wParam, lParam, post, deadline, me.get(), result);
}

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

}  // namespace platform::desktop
