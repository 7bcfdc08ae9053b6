// Pieces the platform's own files share: text conversion at the edge, path mapping, the handle
// table, the machine set-up of a root, and the desktop's windows and queues. Not for the system
// code.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>
#include "platform/ascii_case.h"
#include "platform/win_base.h"
#include "platform/win_user.h"

namespace platform {

// UTF-8 <-> wide (UTF-32) without code-page rules; invalid UTF-8 bytes become U+FFFD.
std::wstring fromUtf8(const std::string& text);
std::string toUtf8(const std::wstring& text);
std::string toUtf8(const wchar_t* text);
// A text as one field of a tab-separated line (UTF-8): backslash, tab and line ends escaped.
std::string escapeField(const std::wstring& text);

// Windows path -> host path. Drive letters map into the root (C: -> <root>/c, Z: -> /), a path
// without a drive is relative to the current folder; every existing entry is matched ignoring
// case. "NUL" maps to /dev/null. Empty result: not mappable.
std::string hostPath(const std::wstring& winPath);
// Host path -> Windows path (inside <root>/<letter>/ as that drive, elsewhere through Z:).
std::wstring winPath(const std::string& hostPath);

// A whole file's bytes; empty when it cannot be read.
std::string readFile(const std::string& path);

// Creates the root and the machine's fixed folders and files once per process and root.
void ensureMachine();
// The host path of the machine's own tool program (cmd, taskkill, netstat and friends).
std::string toolProgram();
// Writes <system folder>/kernel32.dll with the version the root's "windows" setting names,
// unless it already holds it.
void writeKernel32(const std::string& hostSystemDir);
// The user name of the machine (setting "user").
std::wstring userName();

// Windows command lines.
std::vector<std::wstring> splitCommandLine(const std::wstring& line);
std::wstring joinCommandLine(const std::vector<std::wstring>& args);

// State the emulated system keeps for the whole process. Windows holds it in the kernel and its own
// libraries, where threads the program leaves running use it until the process is gone; so a
// program's copy is never destroyed (exit() runs destructors while such threads still run), and a
// library that carries its own copy of this layer (the adapter, loaded per session) frees its copy
// when it is unloaded.
void keepState(void* object, void (*destroy)(void*));
template <class T, class... Args>
T& keptState(Args&&... args) {
    T* object = new T(std::forward<Args>(args)...);
    keepState(object, [](void* p) { delete static_cast<T*>(p); });
    return *object;
}

// Kernel objects behind HANDLEs.
enum class Kind { Mutex, Event, Process, Thread, Snapshot, Find, Module };
struct KObject {
    explicit KObject(Kind k) : kind(k) {}
    virtual ~KObject() = default;
    Kind kind;
};
HANDLE addHandle(KObject* object);
KObject* lookHandle(HANDLE h, Kind kind);  // NULL (and ERROR_INVALID_HANDLE) when not of that kind
bool dropHandle(HANDLE h);                 // deletes the object

// The wait for a process, answering as WaitForSingleObject does.
DWORD waitProcess(KObject* object, DWORD milliseconds);

// Host clock moved by the root's offset, in milliseconds since 1970.
int64_t nowMs();

// Process list of this machine: pid, parent, image name.
struct ProcessEntry {
    DWORD pid;
    DWORD parent;
    std::wstring image;
};
std::vector<ProcessEntry> listProcesses();

// Equal but for ASCII letter case (file, class and window names).
bool iequals(const std::wstring& a, const std::wstring& b);
// '*' and '?' matching ignoring case, as Windows file patterns do.
bool wildcardMatch(const std::wstring& pattern, const std::wstring& name);

// ---- desktop windows and messages ----------------------------------------------------------
// What the desktop's three files share: user_windows.cpp keeps the registry of windows,
// user_messages.cpp the thread queues and the delivery of messages, win_user.cpp the Windows API
// over both.
namespace desktop {

// One window as the registry keeps it.
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

// <root>/desktop: the registry's files and the processes' sockets.
std::string desktopDir();
// Creates a folder and every folder above it.
void makeDirs(const std::string& dir);
// This process's start time as the registry keeps it beside the pid (see Entry::start).
unsigned long long ownStart();

// One flock-held view of the registry files. Writers rewrite the file while holding the lock.
class Registry {
  public:
    explicit Registry(bool write);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    std::vector<Entry> windows;  // newest first
    uintptr_t nextHandle = 0x10010;
    std::vector<std::pair<UINT, std::wstring>> messages;
    void touch() { dirty_ = true; }
    Entry* find(uintptr_t h);
    bool remove(uintptr_t h);

  private:
    static void writeAll(const std::string& path, const std::string& text);
    void load();
    void save();

    bool write_;
    bool dirty_ = false;
    int lockFd_ = -1;
    size_t msgsLoaded_ = 0;
    std::string dir_;
};

// A copy of the registry's entry of a window; false when the desktop has no such window.
bool readEntry(HWND window, Entry* out);

// ---- this process: classes, windows, queues ------------------------------------------------

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

// One per thread of this process; fd is an eventfd that wakes the thread's waits.
struct ThreadQueue {
    ThreadQueue();
    ~ThreadQueue();
    void wake();
    void drain();
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
extern std::mutex& g_lock;
// key: lower case
extern std::map<std::wstring, LocalClass>& g_classes;
extern std::map<uintptr_t, LocalWindow>& g_windows;
extern std::vector<std::shared_ptr<ThreadQueue>>& g_queues;

// This process's window of the current root (out may be NULL).
bool localWindow(HWND h, LocalWindow* out);
// The windows of an ending thread leave this process's table and the desktop.
void destroyThreadWindows(ThreadQueue* q);
// The calling thread's queue, made on first use.
std::shared_ptr<ThreadQueue> myQueue();
// Makes sure other processes of the current root can reach this one.
bool ensureListener();

inline LRESULT callProc(HWND h, WNDPROC proc, UINT msg, WPARAM w, LPARAM l) {
    return proc ? proc(h, msg, w, l) : 0;
}
// Messages whose lParam points into the sender's memory and that do not cross processes.
bool pointerMessage(UINT msg);
// The monotonic clock in milliseconds, for the deadlines of sends.
int64_t monoMs();

enum class Outcome { Ok, NoWindow, Timeout };
// One message to one window; send waits for the answer (deadline -1: forever).
Outcome deliver(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, bool post, int64_t deadline,
                LRESULT* result);
// Shared body of GetMessage and PeekMessage: 1 message, 0 WM_QUIT, -1 nothing (peek only).
int takeMessage(LPMSG msg, HWND window, UINT lo, UINT hi, bool wait, bool remove);

}  // namespace desktop

}  // namespace platform
