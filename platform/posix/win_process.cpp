// Processes from Windows command lines, their exit codes, and the machine's process list. The
// machine's processes are those whose KVLB_ROOT names this root; image names are the file names
// of their executables.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/posix/win_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define KVLB_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define KVLB_LEAK_CHECK 1
#endif
#endif
#ifdef KVLB_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

extern char** environ;

namespace platform {

std::vector<std::wstring> splitCommandLine(const std::wstring& line) {
    std::vector<std::wstring> args;
    size_t i = 0, n = line.size();
    while (i < n && (line[i] == L' ' || line[i] == L'\t')) ++i;
    if (i >= n) return args;
    // The program name: quotes group, backslashes are plain.
    std::wstring first;
    bool quoted = false;
    for (; i < n; ++i) {
        wchar_t c = line[i];
        if (c == L'"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && (c == L' ' || c == L'\t')) break;
        first += c;
    }
    args.push_back(first);
    for (;;) {
        while (i < n && (line[i] == L' ' || line[i] == L'\t')) ++i;
        if (i >= n) break;
        std::wstring arg;
        quoted = false;
        while (i < n) {
            wchar_t c = line[i];
            if (!quoted && (c == L' ' || c == L'\t')) break;
            if (c == L'\\') {
                size_t slashes = 0;
                while (i < n && line[i] == L'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && line[i] == L'"') {
                    arg.append(slashes / 2, L'\\');
                    if (slashes % 2) {
                        arg += L'"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    arg += L'"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}

std::wstring joinCommandLine(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (size_t k = 0; k < args.size(); ++k) {
        const std::wstring& a = args[k];
        if (k) line += L' ';
        bool plain = !a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos;
        if (plain) {
            line += a;
            continue;
        }
        if (k == 0) {
            line += L'"' + a + L'"';
            continue;
        }
        line += L'"';
        size_t slashes = 0;
        for (wchar_t c : a) {
            if (c == L'\\') {
                ++slashes;
                continue;
            }
            if (c == L'"') {
                line.append(slashes * 2 + 1, L'\\');
                line += L'"';
            } else {
                line.append(slashes, L'\\');
                line += c;
            }
            slashes = 0;
        }
        line.append(slashes * 2, L'\\');
        line += L'"';
    }
    return line;
}

namespace {

std::string baseName(const std::string& p) {
    size_t s = p.rfind('/');
    return s == std::string::npos ? p : p.substr(s + 1);
}

std::string normalRoot(std::string r) {
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    char buf[PATH_MAX];
    if (realpath(r.c_str(), buf)) return buf;
    return r;
}

std::string defaultRoot() {
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.kvlbtessarion";
}

struct Stat {
    char state = 0;
    DWORD parent = 0;
    DWORD threads = 0;
    uint64_t start = 0;
};

bool readStat(DWORD pid, Stat& st) {
    std::string s = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream in(s.substr(close + 2));
    std::vector<std::string> f;
    std::string w;
    while (in >> w) f.push_back(w);
    // Fields after the name: state ppid ... num_threads (18th) ... starttime (20th).
    if (f.size() < 20) return false;
    st.state = f[0][0];
    st.parent = (DWORD)std::strtoul(f[1].c_str(), nullptr, 10);
    st.threads = (DWORD)std::strtoul(f[17].c_str(), nullptr, 10);
    st.start = std::strtoull(f[19].c_str(), nullptr, 10);
    return true;
}

bool alive(DWORD pid, uint64_t start) {
    Stat st;
    return readStat(pid, st) && st.state != 'Z' && st.state != 'X' && (start == 0 || st.start == start);
}

std::string processRoot(DWORD pid) {
    std::string env = readFile("/proc/" + std::to_string(pid) + "/environ");
    size_t pos = 0;
    while (pos < env.size()) {
        size_t end = env.find('\0', pos);
        if (end == std::string::npos) end = env.size();
        if (env.compare(pos, 10, "KVLB_ROOT=") == 0 && end > pos + 10)
            return env.substr(pos + 10, end - pos - 10);
        pos = end + 1;
    }
    return defaultRoot();
}

std::string realOf(const std::string& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

// The file name the process was started by (a link keeps its own name, as the Windows name of a
// program placed by linking), else the executable's own name.
std::wstring imageName(DWORD pid) {
    std::string proc = "/proc/" + std::to_string(pid);
    char buf[PATH_MAX];
    ssize_t n = readlink((proc + "/exe").c_str(), buf, sizeof buf - 1);
    if (n <= 0) return L"";
    std::string exe(buf, (size_t)n);
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
        exe.resize(exe.size() - deleted.size());
    std::string name = baseName(exe);
    std::string cmdline = readFile(proc + "/cmdline");
    std::string argv0 = cmdline.substr(0, cmdline.find('\0'));
    if (!argv0.empty() && argv0.find('/') != std::string::npos) {
        std::string started = argv0[0] == '/' ? argv0 : proc + "/cwd/" + argv0;
        std::string real = realOf(started);
        if (!real.empty() && real == realOf(exe)) name = baseName(argv0);
    }
    return fromUtf8(name);
}

std::string exitFile(DWORD pid) {
    return rootDir() + "/run/exit-" + std::to_string(pid);
}

uint64_t startOf(DWORD pid) {
    Stat st;
    return readStat(pid, st) ? st.start : 0;
}

// The exit code a process was ended with, kept beside its start time so that a later process
// under the same id never inherits it.
bool readExitFile(DWORD pid, DWORD& code, uint64_t start = 0) {
    std::istringstream in(readFile(exitFile(pid)));
    unsigned long long c, s = 0;
    if (!(in >> c)) return false;
    in >> s;
    if (start != 0 && s != 0 && s != start) return false;
    code = (DWORD)c;
    return true;
}

void writeExitFile(DWORD pid, DWORD code, uint64_t start) {
    std::string path = exitFile(pid);
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    std::ofstream(tmp) << code << " " << start;
    rename(tmp.c_str(), path.c_str());
}

struct Child {
    bool done = false;
    DWORD code = 0;
    int handles = 0;
    uint64_t start = 0;
};
std::mutex g_childLock;
std::map<pid_t, Child>& g_children = keptState<std::map<pid_t, Child>>();

DWORD decodeStatus(pid_t pid, int status, uint64_t start) {
    DWORD recorded;
    bool have = readExitFile((DWORD)pid, recorded, start);
    unlink(exitFile((DWORD)pid).c_str());
    if (have) return recorded;
    if (WIFEXITED(status)) return (DWORD)WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return (DWORD)WTERMSIG(status);  // a kill (signal 9) reads as exit code 9
    return 1;
}

// Looks once whether the child ended; true when it has (code filled).
bool pollChild(pid_t pid, DWORD& code) {
    std::lock_guard<std::mutex> lock(g_childLock);
    Child& c = g_children[pid];
    if (!c.done) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            c.done = true;
            c.code = decodeStatus(pid, status, c.start);
        } else if (r < 0 && errno == ECHILD) {
            c.done = true;
            if (!readExitFile((DWORD)pid, c.code, c.start)) c.code = 0;
        }
    }
    code = c.code;
    return c.done;
}

struct ProcessObject : KObject {
    ProcessObject() : KObject(Kind::Process) {}
    ~ProcessObject() override;
    pid_t pid = 0;
    uint64_t start = 0;
    bool child = false;
};

ProcessObject::~ProcessObject() {
    if (!child) return;
    std::lock_guard<std::mutex> lock(g_childLock);
    auto it = g_children.find(pid);
    if (it == g_children.end() || --it->second.handles > 0) return;
    bool done = it->second.done;
    g_children.erase(it);
    if (!done) {
        // Nobody will ask for the code any more; reap it so it does not linger as a zombie.
        pid_t p = pid;
        std::string file = exitFile((DWORD)p);
        std::thread([p, file] {
            int status;
            while (waitpid(p, &status, 0) < 0 && errno == EINTR) {
            }
            unlink(file.c_str());
        }).detach();
    }
}

struct ThreadObject : KObject {
    ThreadObject() : KObject(Kind::Thread) {}
};

struct SnapshotObject : KObject {
    SnapshotObject() : KObject(Kind::Snapshot) {}
    std::vector<ProcessEntry> entries;
    size_t next = 0;
};

bool isPseudo(HANDLE h) {
    return h == GetCurrentProcess();
}

// The environment block of a new process: the one given (wide or narrow) or this process's own,
// with the machine's root and the command line set for the child.
std::vector<std::string> childEnvironment(LPVOID environment, DWORD creationFlags, const std::wstring& line) {
    std::vector<std::string> envStore;
    if (environment && (creationFlags & CREATE_UNICODE_ENVIRONMENT)) {
        for (const wchar_t* p = (const wchar_t*)environment; *p; p += std::wcslen(p) + 1)
            envStore.push_back(toUtf8(p));
    } else if (environment) {
        for (const char* p = (const char*)environment; *p; p += std::strlen(p) + 1) envStore.push_back(p);
    } else {
        for (char** e = environ; *e; ++e) envStore.push_back(*e);
    }
    std::vector<std::string> kept;
    for (auto& e : envStore) {
        if (e.rfind("KVLB_ROOT=", 0) == 0 || e.rfind("KVLB_COMMAND_LINE=", 0) == 0) continue;
        kept.push_back(e);
    }
    // The child lives on this machine and sees the command line exactly as it was given.
    kept.push_back("KVLB_ROOT=" + rootDir());
    kept.push_back("KVLB_COMMAND_LINE=" + toUtf8(line));
    return kept;
}

// posix_spawn returns while the child is still inside exec; wait until it shows as the new
// program with its environment, so that it is on the process list once we return, as on Windows.
// The pipe's end closes with exec (close-on-exec), then the new environment appears.
void waitForExec(pid_t pid, int execPipe[2]) {
    if (execPipe[1] >= 0) close(execPipe[1]);
    if (execPipe[0] >= 0) {
        struct pollfd pfd {
            execPipe[0], POLLIN, 0
        };
        char b;
        while (poll(&pfd, 1, 5000) > 0 && read(execPipe[0], &b, 1) > 0) {
        }
        close(execPipe[0]);
    }
    for (int i = 0; i < 200; ++i) {
        if (!readFile("/proc/" + std::to_string(pid) + "/environ").empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The child's working folder and, with CREATE_NO_WINDOW, its hidden console. False (the actions
// destroyed again and the error set) when the folder is not one; dir keeps its host path.
bool childActions(posix_spawn_file_actions_t* actions, LPCWSTR currentDirectory, DWORD creationFlags,
                  std::string& dir) {
    posix_spawn_file_actions_init(actions);
    if (currentDirectory && *currentDirectory) {
        dir = hostPath(currentDirectory);
        struct stat st;
        if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            posix_spawn_file_actions_destroy(actions);
            SetLastError(ERROR_DIRECTORY_NAME_INVALID);
            return false;
        }
        posix_spawn_file_actions_addchdir_np(actions, dir.c_str());
    }
    if (creationFlags & CREATE_NO_WINDOW) {
        // A hidden console: what the child writes there reaches no one, not the caller's terminal.
        posix_spawn_file_actions_addopen(actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(actions, STDOUT_FILENO, STDERR_FILENO);
    }
    return true;
}

// The child starts with no signal blocked and every signal at its default.
void childAttributes(posix_spawnattr_t* attr) {
    posix_spawnattr_init(attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(attr, &none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(attr, &all);
    posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// A started child goes to the caller as its process and thread handles, or, where the caller
// asked for none, is reaped when it ends.
void handOver(pid_t pid, LPPROCESS_INFORMATION processInformation) {
    if (!processInformation) {
        // No handle will ever ask; reap it when it ends.
        std::thread([pid] {
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            std::lock_guard<std::mutex> l(g_childLock);
            g_children.erase(pid);
        }).detach();
        return;
    }
    auto* p = new ProcessObject;
    p->pid = pid;
    p->child = true;
    p->start = startOf((DWORD)pid);
    {
        std::lock_guard<std::mutex> l(g_childLock);
        g_children[pid].start = p->start;
    }
    processInformation->hProcess = addHandle(p);
    processInformation->hThread = addHandle(new ThreadObject);
    processInformation->dwProcessId = (DWORD)pid;
    processInformation->dwThreadId = (DWORD)pid;
}

std::string findProgram(const std::wstring& name) {
    bool hasDir = name.find_first_of(L"\\/:") != std::wstring::npos;
    size_t slash = name.find_last_of(L"\\/:");
    std::wstring file = slash == std::wstring::npos ? name : name.substr(slash + 1);
    bool hasExt = file.find(L'.') != std::wstring::npos;
    std::vector<std::wstring> candidates{name};
    if (!hasExt) candidates.insert(candidates.begin(), name + L".exe");
    auto usable = [](const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    };
    if (hasDir) {
        for (auto& c : candidates) {
            std::string h = hostPath(c);
            if (!h.empty() && usable(h)) return h;
        }
        return "";
    }
    std::vector<std::wstring> dirs;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string d(self, (size_t)n);
        dirs.push_back(winPath(d.substr(0, d.rfind('/'))));
    }
    dirs.push_back(L"C:\\Windows\\System32");
    dirs.push_back(L"C:\\Windows");
    const char* path = std::getenv("PATH");
    std::istringstream in(path ? path : "");
    std::string part;
    while (std::getline(in, part, ':')) {
        if (!part.empty() && part[0] == '/') dirs.push_back(winPath(part));
    }
    for (auto& d : dirs) {
        for (auto& c : candidates) {
            // A bare host name is only a Windows program when it has its Windows extension.
            if (!hasExt && c == name) continue;
            std::string h = hostPath(d + L"\\" + c);
            if (!h.empty() && usable(h)) return h;
        }
    }
    return "";
}

}  // namespace

std::vector<ProcessEntry> listProcesses() {
    std::vector<ProcessEntry> out;
    std::string root = normalRoot(rootDir());
    DWORD self = (DWORD)getpid();
    uid_t uid = getuid();
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        char* end;
        unsigned long pid = std::strtoul(e->d_name, &end, 10);
        if (*end || pid == 0) continue;
        std::string proc = std::string("/proc/") + e->d_name;
        struct stat st;
        if (stat(proc.c_str(), &st) != 0 || st.st_uid != uid) continue;
        Stat ps;
        if (!readStat((DWORD)pid, ps) || ps.state == 'Z' || ps.state == 'X') continue;
        if ((DWORD)pid != self && normalRoot(processRoot((DWORD)pid)) != root) continue;
        std::wstring image = imageName((DWORD)pid);
        if (image.empty()) continue;
        out.push_back({(DWORD)pid, ps.parent, image});
    }
    closedir(d);
    return out;
}

DWORD waitProcess(KObject* object, DWORD ms) {
    auto* p = static_cast<ProcessObject*>(object);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
    int step = 1;
    for (;;) {
        DWORD code;
        if (p->child ? pollChild(p->pid, code) : !alive((DWORD)p->pid, p->start)) return WAIT_OBJECT_0;
        auto now = std::chrono::steady_clock::now();
        if (ms != INFINITE && now >= deadline) return WAIT_TIMEOUT;
        auto pause = std::chrono::milliseconds(step);
        if (step < 10) ++step;
        if (ms != INFINITE && now + pause > deadline)
            pause = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                    std::chrono::milliseconds(1);
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace platform

using namespace platform;

void GetStartupInfoW(LPSTARTUPINFOW info) {
    if (!info) return;
    std::memset(info, 0, sizeof *info);
    info->cb = sizeof *info;
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW,
                    LPPROCESS_INFORMATION processInformation) {
    std::wstring line = commandLine ? commandLine : L"";
    std::vector<std::wstring> args = splitCommandLine(line);
    if (applicationName && *applicationName) {
        if (args.empty()) {
            args.push_back(applicationName);
            line = joinCommandLine(args);
        }
    } else if (args.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string program =
        findProgram(applicationName && *applicationName ? std::wstring(applicationName) : args[0]);
    if (program.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::vector<std::string> argStore{program};
    for (size_t i = 1; i < args.size(); ++i) argStore.push_back(toUtf8(args[i]));
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> kept = childEnvironment(environment, creationFlags, line);
    std::vector<char*> envp;
    for (auto& e : kept) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    std::string dir;
    if (!childActions(&actions, currentDirectory, creationFlags, dir)) return FALSE;
    posix_spawnattr_t attr;
    childAttributes(&attr);
    pid_t pid;
    int execPipe[2] = {-1, -1};
    if (pipe2(execPipe, O_CLOEXEC) != 0) execPipe[0] = execPipe[1] = -1;
    std::unique_lock<std::mutex> lock(g_childLock);
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        lock.unlock();
        for (int fd : execPipe)
            if (fd >= 0) close(fd);
        SetLastError(rc == ENOENT   ? ERROR_FILE_NOT_FOUND
                     : rc == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                                    : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    waitForExec(pid, execPipe);
    Child& c = g_children[pid];
    c = Child{};
    c.handles = processInformation ? 1 : 0;
    lock.unlock();
    handOver(pid, processInformation);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (isPseudo(process)) {
        *exitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto* p = static_cast<ProcessObject*>(lookHandle(process, Kind::Process));
    if (!p) return FALSE;
    DWORD code = 0;
    if (p->child) {
        *exitCode = pollChild(p->pid, code) ? code : STILL_ACTIVE;
    } else if (alive((DWORD)p->pid, p->start)) {
        *exitCode = STILL_ACTIVE;
    } else {
        *exitCode = readExitFile((DWORD)p->pid, code, p->start) ? code : 0;
    }
    return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
    if (processId == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Stat st;
    if (!readStat(processId, st) || st.state == 'X') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* p = new ProcessObject;
    p->pid = (pid_t)processId;
    p->start = st.start;
    {
        std::lock_guard<std::mutex> lock(g_childLock);
        auto it = g_children.find((pid_t)processId);
        if (it != g_children.end() && it->second.handles > 0) {
            p->child = true;
            it->second.handles++;
        }
    }
    if (!p->child && st.state == 'Z') {
        delete p;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return addHandle(p);
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
    if (isPseudo(process)) ExitProcess(exitCode);
    auto* p = static_cast<ProcessObject*>(lookHandle(process, Kind::Process));
    if (!p) return FALSE;
    DWORD code;
    if ((p->child && pollChild(p->pid, code)) || (!p->child && !alive((DWORD)p->pid, p->start))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    writeExitFile((DWORD)p->pid, exitCode, p->start);
    if (kill(p->pid, SIGKILL) != 0) {
        unlink(exitFile((DWORD)p->pid).c_str());
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

DWORD GetCurrentProcessId(void) {
    return (DWORD)getpid();
}
DWORD GetCurrentThreadId(void) {
    return (DWORD)syscall(SYS_gettid);
}
HANDLE GetCurrentProcess(void) {
    return (HANDLE)(intptr_t)-1;
}

void ExitProcess(UINT exitCode) {
    // Host exit statuses hold 8 bits; a wider code is left where the parent reads it.
    if (exitCode > 255) writeExitFile((DWORD)getpid(), exitCode, startOf((DWORD)getpid()));
    std::fflush(nullptr);
    // As on Windows, the program's exit functions and destructors do not run: the other threads go
    // on until the process is gone and must not find its objects destroyed under them.
#ifdef KVLB_LEAK_CHECK
    __lsan_do_leak_check();
#endif
    _exit((int)(exitCode & 0xFF));
}

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    auto* s = new SnapshotObject;
    if (flags & TH32CS_SNAPPROCESS) s->entries = listProcesses();
    return addHandle(s);
}

static BOOL snapshotEntry(HANDLE snapshot, LPPROCESSENTRY32W entry, bool first) {
    auto* s = static_cast<SnapshotObject*>(lookHandle(snapshot, Kind::Snapshot));
    if (!s) return FALSE;
    if (!entry || entry->dwSize < sizeof(PROCESSENTRY32W)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (first) s->next = 0;
    if (s->next >= s->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const ProcessEntry& e = s->entries[s->next++];
    DWORD size = entry->dwSize;
    std::memset(entry, 0, sizeof *entry);
    entry->dwSize = size;
    entry->th32ProcessID = e.pid;
    entry->th32ParentProcessID = e.parent;
    entry->cntThreads = 1;
    std::wstring image = e.image.substr(0, MAX_PATH - 1);
    std::wmemcpy(entry->szExeFile, image.c_str(), image.size() + 1);
    return TRUE;
}

BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    return snapshotEntry(snapshot, entry, true);
}
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    return snapshotEntry(snapshot, entry, false);
}

BOOL EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned) {
    if (!processIds || !bytesReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<ProcessEntry> list = listProcesses();
    DWORD room = bytes / sizeof(DWORD), n = 0;
    for (auto& e : list) {
        if (n >= room) break;
        processIds[n++] = e.pid;
    }
    *bytesReturned = n * (DWORD)sizeof(DWORD);
    return TRUE;
}

BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded) {
    if (!isPseudo(process) && !lookHandle(process, Kind::Process)) return FALSE;
    if (bytesNeeded) *bytesNeeded = sizeof(HMODULE);
    // The first module is the program itself; it is named by the process handle.
    if (modules && bytes >= sizeof(HMODULE)) modules[0] = (HMODULE)process;
    return TRUE;
}

DWORD GetModuleBaseNameW(HANDLE process, HMODULE, LPWSTR baseName, DWORD size) {
    DWORD pid;
    if (isPseudo(process)) {
        pid = (DWORD)getpid();
    } else {
        auto* p = static_cast<ProcessObject*>(lookHandle(process, Kind::Process));
        if (!p) return 0;
        if (!alive((DWORD)p->pid, p->start)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        pid = (DWORD)p->pid;
    }
    if (!baseName || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wstring image = imageName(pid);
    if (image.empty()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    size_t n = std::min<size_t>(image.size(), size - 1);
    std::wmemcpy(baseName, image.c_str(), n);
    baseName[n] = 0;
    return (DWORD)n;
}
