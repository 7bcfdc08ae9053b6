// Handles, named mutexes and events. A named object is a file under <root>/objects; every open
// handle holds a shared open-file-description lock on its first byte (so the object exists while
// some process has it open) and a mutex owner holds an exclusive lock on the second byte, which the
// kernel drops when the owner dies. A marker in the file tells the next owner it was abandoned;
// like the object itself it lasts only while a handle is open, so the first opener resets it.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "platform/root.h"
#include "platform/posix/win_internal.h"

namespace platform {
namespace {

std::mutex g_handleLock;
std::unordered_set<KObject*>& g_handles = keptState<std::unordered_set<KObject*>>();

}  // namespace

HANDLE addHandle(KObject* object) {
    std::lock_guard<std::mutex> lock(g_handleLock);
    g_handles.insert(object);
    return object;
}

KObject* lookHandle(HANDLE h, Kind kind) {
    std::lock_guard<std::mutex> lock(g_handleLock);
    auto it = g_handles.find(static_cast<KObject*>(h));
    if (it == g_handles.end() || (*it)->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return *it;
}

static KObject* anyHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_handleLock);
    auto it = g_handles.find(static_cast<KObject*>(h));
    return it == g_handles.end() ? nullptr : *it;
}

bool dropHandle(HANDLE h) {
    KObject* o;
    {
        std::lock_guard<std::mutex> lock(g_handleLock);
        auto it = g_handles.find(static_cast<KObject*>(h));
        if (it == g_handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        o = *it;
        g_handles.erase(it);
    }
    delete o;
    return true;
}

namespace {

constexpr off_t kExistByte = 0, kOwnByte = 1, kStateByte = 2, kStateOffset = 16;

struct MutexState {
    uint32_t ownerPid;  // non-zero while an owner holds it; left behind by an owner that died
    uint32_t ownerTid;
};
struct EventState {
    uint32_t signalled;
    uint32_t manual;
    uint64_t generation;  // moved by every set and pulse, so a poller never misses one
    uint32_t tokens;      // pulses of an auto-reset event still to be taken by one waiter
    uint32_t pad;
};

DWORD threadId() {
    return (DWORD)syscall(SYS_gettid);
}

bool threadAlive(DWORD tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%u", (unsigned)tid);
    return access(path, F_OK) == 0;
}

bool ofdLock(int fd, short type, off_t start, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool lockedByOthers(int fd, off_t start) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

// One per object and process, shared by all of the process's handles to it.
struct Shared {
    std::string path;  // empty: an unnamed object of this process only
    int fd = -1;
    int refs = 0;
    bool isMutex = false;
    std::mutex m;
    std::condition_variable cv;
    DWORD owner = 0;  // owning thread in this process
    DWORD count = 0;
    EventState local{};  // state of an unnamed event
};

std::mutex g_objectsLock;
std::map<std::string, Shared*>& g_objects = keptState<std::map<std::string, Shared*>>();

struct SyncHandle : KObject {
    SyncHandle(Kind k, Shared* s) : KObject(k), shared(s) {}
    ~SyncHandle() override;
    Shared* shared;
};

// Lets go of one reference to the process's record of an object; the last one closes it.
void unrefShared(Shared* shared) {
    std::lock_guard<std::mutex> lock(g_objectsLock);
    if (--shared->refs > 0) return;
    if (!shared->path.empty()) g_objects.erase(shared->path);
    if (shared->fd >= 0) close(shared->fd);  // drops this process's locks; an unreleased mutex is abandoned
    delete shared;
}

SyncHandle::~SyncHandle() {
    unrefShared(shared);
}

// The object behind a mutex or event handle, held for a wait as the kernel holds it, so a handle
// another thread closes meanwhile does not free it under the waiter. NULL: no such handle.
Shared* holdSync(HANDLE h) {
    std::lock_guard<std::mutex> handles(g_handleLock);
    auto it = g_handles.find(static_cast<KObject*>(h));
    if (it == g_handles.end() || ((*it)->kind != Kind::Mutex && (*it)->kind != Kind::Event)) return nullptr;
    Shared* shared = static_cast<SyncHandle*>(*it)->shared;
    std::lock_guard<std::mutex> objects(g_objectsLock);
    shared->refs++;
    return shared;
}

std::string escapeName(const std::string& name) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '_' || c == '-' || c == '.')
            out += (char)c;
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (out.size() > 200) {
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
        out = out.substr(0, 180) + "~" + std::to_string(h);
    }
    return out;
}

std::string objectPath(const char* prefix, const std::wstring& wname) {
    std::string name = toUtf8(wname);
    std::string ns = "session1";
    if (name.rfind("Global\\", 0) == 0) {
        ns = "global";
        name = name.substr(7);
    } else if (name.rfind("Local\\", 0) == 0)
        name = name.substr(6);
    return rootDir() + "/objects/" + ns + "/" + prefix + escapeName(name);
}

// Serialises create and open of one namespace across the processes of the machine.
struct NamespaceGuard {
    explicit NamespaceGuard(const std::string& objectFile) {
        std::string dir = objectFile.substr(0, objectFile.rfind('/'));
        fd = open((dir + "/.guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) ofdLock(fd, F_WRLCK, 0, true);
    }
    ~NamespaceGuard() {
        if (fd >= 0) close(fd);
    }
    int fd;
};

template <typename S>
bool readState(Shared* s, S& st) {
    return pread(s->fd, &st, sizeof st, kStateOffset) == (ssize_t)sizeof st;
}
template <typename S>
void writeState(Shared* s, const S& st) {
    if (pwrite(s->fd, &st, sizeof st, kStateOffset) != (ssize_t)sizeof st) { /* state stays as it was */
    }
}

// Finds or makes the process's record of a named object. create false: only an object some
// handle holds. existed tells whether it was there before.
Shared* attach(const std::string& path, bool isMutex, bool create, bool& existed, bool manual, bool initial) {
    std::lock_guard<std::mutex> lock(g_objectsLock);
    auto it = g_objects.find(path);
    if (it != g_objects.end()) {
        existed = true;
        it->second->refs++;
        return it->second;
    }
    NamespaceGuard guard(path);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    existed = lockedByOthers(fd, kExistByte);
    if (!existed && !create) {
        close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (!ofdLock(fd, F_RDLCK, kExistByte, true)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto* s = new Shared;
    s->path = path;
    s->fd = fd;
    s->refs = 1;
    s->isMutex = isMutex;
    // Nobody held a handle: the name is a new object, whatever an earlier one left in the file.
    // So a mutex's abandonment marker lasts only while some handle kept the object alive.
    if (!existed && isMutex) {
        writeState(s, MutexState{});
    } else if (!existed) {
        EventState st{};
        st.signalled = initial ? 1 : 0;
        st.manual = manual ? 1 : 0;
        writeState(s, st);
    }
    g_objects[path] = s;
    return s;
}

bool sleepUntil(std::chrono::steady_clock::time_point deadline, bool infinite, int& step) {
    auto now = std::chrono::steady_clock::now();
    if (!infinite && now >= deadline) return false;
    auto pause = std::chrono::milliseconds(step);
    if (step < 10) step++;
    if (!infinite && now + pause > deadline)
        pause = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                std::chrono::milliseconds(1);
    std::this_thread::sleep_for(pause);
    return true;
}

DWORD waitMutex(Shared* s, DWORD ms) {
    bool infinite = ms == INFINITE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : ms);
    DWORD me = threadId();
    int step = 1;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s->m);
            if (s->owner == me) {
                s->count++;
                return WAIT_OBJECT_0;
            }
            while (s->owner != 0) {
                if (!threadAlive(s->owner)) {
                    // The owning thread ended without releasing: the waiter takes it over.
                    s->owner = me;
                    s->count = 1;
                    if (s->fd >= 0) {
                        MutexState st{(uint32_t)getpid(), me};
                        writeState(s, st);
                    }
                    return WAIT_ABANDONED;
                }
                auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
                if (!infinite && deadline < slice) slice = deadline;
                s->cv.wait_until(lock, slice);
                if (!infinite && std::chrono::steady_clock::now() >= deadline && s->owner != 0 &&
                    s->owner != me)
                    return WAIT_TIMEOUT;
            }
            if (s->fd < 0 || ofdLock(s->fd, F_WRLCK, kOwnByte, false)) {
                bool abandoned = false;
                if (s->fd >= 0) {
                    MutexState st{};
                    if (readState(s, st) && st.ownerPid != 0) abandoned = true;
                    st.ownerPid = (uint32_t)getpid();
                    st.ownerTid = me;
                    writeState(s, st);
                }
                s->owner = me;
                s->count = 1;
                return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
            }
        }
        if (!sleepUntil(deadline, infinite, step)) return WAIT_TIMEOUT;
    }
}

bool releaseMutex(Shared* s) {
    std::lock_guard<std::mutex> lock(s->m);
    if (s->owner != threadId()) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    if (--s->count > 0) return true;
    if (s->fd >= 0) {
        MutexState st{};
        writeState(s, st);
        ofdLock(s->fd, F_UNLCK, kOwnByte, false);
    }
    s->owner = 0;
    s->cv.notify_all();
    return true;
}

// Runs f on the event's state under the process and machine locks; true when f changed it.
template <typename F>
void withEvent(Shared* s, F f) {
    std::lock_guard<std::mutex> lock(s->m);
    if (s->fd < 0) {
        f(s->local);
        return;
    }
    ofdLock(s->fd, F_WRLCK, kStateByte, true);
    EventState st{};
    readState(s, st);
    if (f(st)) writeState(s, st);
    ofdLock(s->fd, F_UNLCK, kStateByte, false);
}

DWORD waitEvent(Shared* s, DWORD ms) {
    bool infinite = ms == INFINITE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite ? 0 : ms);
    uint64_t start = 0;
    withEvent(s, [&](EventState& st) {
        start = st.generation;
        return false;
    });
    int step = 1;
    for (;;) {
        bool woken = false;
        withEvent(s, [&](EventState& st) {
            if (st.signalled) {
                woken = true;
                if (!st.manual) {
                    st.signalled = 0;
                    return true;
                }
                return false;
            }
            if (st.generation != start) {
                if (st.manual) {
                    woken = true;
                    return false;
                }
                if (st.tokens > 0) {
                    st.tokens--;
                    woken = true;
                    return true;
                }
            }
            return false;
        });
        if (woken) return WAIT_OBJECT_0;
        if (s->fd < 0) {
            std::unique_lock<std::mutex> lock(s->m);
            if (!infinite && std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
            s->cv.wait_for(lock, std::chrono::milliseconds(5));
            continue;
        }
        if (!sleepUntil(deadline, infinite, step)) return WAIT_TIMEOUT;
    }
}

HANDLE makeMutex(LPCWSTR name, BOOL initialOwner, bool create) {
    Shared* s;
    bool existed = false;
    if (!name || !*name) {
        if (!create) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        s = new Shared;
        s->refs = 1;
        s->isMutex = true;
    } else {
        s = attach(objectPath("m-", name), true, create, existed, false, false);
        if (!s) return nullptr;
    }
    HANDLE h = addHandle(new SyncHandle(Kind::Mutex, s));
    if (create && initialOwner && !existed) waitMutex(s, 0);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE makeEvent(LPCWSTR name, BOOL manual, BOOL initial, bool create) {
    Shared* s;
    bool existed = false;
    if (!name || !*name) {
        if (!create) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        s = new Shared;
        s->refs = 1;
        s->local.manual = manual ? 1 : 0;
        s->local.signalled = initial ? 1 : 0;
    } else {
        s = attach(objectPath("e-", name), false, create, existed, manual != 0, initial != 0);
        if (!s) return nullptr;
    }
    HANDLE h = addHandle(new SyncHandle(Kind::Event, s));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

Shared* eventOf(HANDLE h) {
    auto* o = static_cast<SyncHandle*>(lookHandle(h, Kind::Event));
    return o ? o->shared : nullptr;
}

std::wstring wideName(LPCSTR name) {
    return name ? fromUtf8(name) : std::wstring();
}

}  // namespace

}  // namespace platform

using namespace platform;

static thread_local DWORD g_lastError;
DWORD GetLastError(void) {
    return g_lastError;
}
void SetLastError(DWORD code) {
    g_lastError = code;
}

BOOL CloseHandle(HANDLE h) {
    KObject* o = anyHandle(h);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return dropHandle(h) ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
    if (Shared* held = holdSync(h)) {
        DWORD result = held->isMutex ? waitMutex(held, milliseconds) : waitEvent(held, milliseconds);
        unrefShared(held);
        return result;
    }
    KObject* o = anyHandle(h);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    // Mutexes and events were taken above; a process is the only other kind one waits for.
    if (o->kind == Kind::Process) return waitProcess(o, milliseconds);
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    struct timespec ts {
        (time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L
    };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision) {
    if (!sd || revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(sd, 0, sizeof *sd);
    sd->revision = (BYTE)revision;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, void* dacl, BOOL) {
    if (!sd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sd->present = present ? 1 : 0;
    sd->dacl = dacl;
    return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    return makeMutex(name, initialOwner, true);
}
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    std::wstring w = wideName(name);
    return makeMutex(name ? w.c_str() : nullptr, initialOwner, true);
}
HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) {
    return makeMutex(name, FALSE, false);
}
HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
    std::wstring w = wideName(name);
    return makeMutex(name ? w.c_str() : nullptr, FALSE, false);
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto* o = static_cast<SyncHandle*>(lookHandle(mutex, Kind::Mutex));
    return o && releaseMutex(o->shared) ? TRUE : FALSE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    return makeEvent(name, manualReset, initialState, true);
}
HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name) {
    return makeEvent(name, FALSE, FALSE, false);
}

BOOL SetEvent(HANDLE event) {
    Shared* s = eventOf(event);
    if (!s) return FALSE;
    withEvent(s, [](EventState& st) {
        st.signalled = 1;
        st.generation++;
        st.tokens = 0;
        return true;
    });
    s->cv.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    Shared* s = eventOf(event);
    if (!s) return FALSE;
    withEvent(s, [](EventState& st) {
        st.signalled = 0;
        return true;
    });
    return TRUE;
}

BOOL PulseEvent(HANDLE event) {
    Shared* s = eventOf(event);
    if (!s) return FALSE;
    withEvent(s, [](EventState& st) {
        st.signalled = 0;
        st.generation++;
        st.tokens = 1;
        return true;
    });
    s->cv.notify_all();
    return TRUE;
}
