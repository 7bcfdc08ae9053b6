// The machine root: where it is, its settings, its fixed folders, and the program's own command
// line as Windows would have handed it over.
#include "platform/root.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/posix/win_internal.h"

#ifndef KVLB_TOOL_PATH
#define KVLB_TOOL_PATH ""
#endif

namespace platform {
namespace {

void makeDirs(const std::string& path) {
    std::string part;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        part = path.substr(0, pos);
        if (!part.empty()) mkdir(part.c_str(), 0755);
    }
}

std::string rawRoot() {
    const char* r = std::getenv("KVLB_ROOT");
    std::string root;
    if (r && *r) {
        root = r;
    } else {
        const char* home = std::getenv("HOME");
        root = std::string(home && *home ? home : "/tmp") + "/.kvlbtessarion";
    }
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Whether this copy of the layer is linked into the program itself, not into a library; when
// that cannot be told, it is taken for the program's (its state is then kept, not freed).
bool inProgramImage() {
    Dl_info self{}, program{};
    if (dladdr(reinterpret_cast<void*>(&inProgramImage), &self) == 0) return true;
    if (dladdr(reinterpret_cast<void*>(getauxval(AT_PHDR)), &program) == 0) return true;
    return self.dli_fbase == program.dli_fbase;
}

// What keepState was given, in the order it was made.
struct KeptStates {
    std::mutex lock;
    std::vector<std::pair<void*, void (*)(void*)>> states;
    KeptStates() = default;
    KeptStates(const KeptStates&) = delete;
    KeptStates& operator=(const KeptStates&) = delete;
    ~KeptStates() {
        if (inProgramImage()) return;
        for (auto it = states.rbegin(); it != states.rend(); ++it) it->second(it->first);
    }
};

KeptStates& keptStates() {
    static KeptStates kept;
    return kept;
}

std::mutex g_machineLock;
std::string& g_readyRoot = keptState<std::string>();

std::mutex g_cmdLock;
std::wstring& g_cmdLine = keptState<std::wstring>();
bool g_cmdSet = false;

std::vector<std::string> procCmdline() {
    std::vector<std::string> args;
    std::string all = readFile("/proc/self/cmdline");
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == '\0') {
            args.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    }
    return args;
}

// The exact line the parent passed, when it still fits the arguments we were started with.
std::wstring commandLineFrom(const std::vector<std::string>& argv) {
    const char* exact = std::getenv("KVLB_COMMAND_LINE");
    if (exact) {
        std::wstring line = fromUtf8(exact);
        std::vector<std::wstring> parts = splitCommandLine(line);
        bool same = parts.size() == argv.size() && !parts.empty();
        for (size_t i = 1; same && i < argv.size(); ++i) same = parts[i] == fromUtf8(argv[i]);
        if (same) {
            // The line must also name this program, not a parent's.
            std::wstring token = parts[0].substr(parts[0].find_last_of(L"\\/:") == std::wstring::npos
                                                     ? 0
                                                     : parts[0].find_last_of(L"\\/:") + 1);
            std::wstring self = fromUtf8(
                argv[0].substr(argv[0].rfind('/') == std::string::npos ? 0 : argv[0].rfind('/') + 1));
            if (token.find(L'.') == std::wstring::npos) token += L".exe";
            same = iequals(token, self) || iequals(token.substr(0, token.size() - 4), self);
        }
        if (same) return line;
    }
    std::vector<std::wstring> wide;
    for (const auto& a : argv) wide.push_back(fromUtf8(a));
    return joinCommandLine(wide);
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string rootDir() {
    ensureMachine();
    return rawRoot();
}

std::string toolProgram() {
    const char* env = std::getenv("KVLB_CMD_TOOL");
    if (env && *env && access(env, X_OK) == 0) return env;
    if (*KVLB_TOOL_PATH && access(KVLB_TOOL_PATH, X_OK) == 0) return KVLB_TOOL_PATH;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::string dir(self);
        dir = dir.substr(0, dir.rfind('/'));
        for (const char* rel : {"/kvlb_cmd", "/../bin/kvlb_cmd"}) {
            std::string p = dir + rel;
            if (access(p.c_str(), X_OK) == 0) return p;
        }
    }
    return "";
}

void ensureMachine() {
    std::string root = rawRoot();
    std::lock_guard<std::mutex> lock(g_machineLock);
    if (root == g_readyRoot) return;
    makeDirs(root);
    std::wstring user = userName();
    std::string u = toUtf8(user);
    for (std::string rel : {"/c/ProgramData", "/c/Windows/System32", "/c/Windows/Temp", "/objects/global",
                            "/objects/session1", "/run"}) {
        makeDirs(root + rel);
    }
    for (std::string rel : {"/AppData/Local/Temp", "/AppData/Roaming", "/Desktop"}) {
        makeDirs(root + "/c/Users/" + u + rel);
    }
    std::string sys = root + "/c/Windows/System32";
    std::string tool = toolProgram();
    if (!tool.empty()) {
        // Links, so that every root runs the tool of the current build.
        for (const char* name :
             {"cmd.exe", "taskkill.exe", "NETSTAT.EXE", "find.exe", "timeout.exe", "PING.EXE"}) {
            std::string link = sys + "/" + name;
            char target[PATH_MAX];
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, (size_t)n) == tool) continue;
            unlink(link.c_str());
            if (symlink(tool.c_str(), link.c_str()) != 0) { /* the tool is then simply missing */
            }
        }
    }
    writeKernel32(sys);
    g_readyRoot = root;
}

// The settings file's entries, read and parsed again only when the file changed: setSetting
// replaces the file (a new inode), and an edit by hand moves its modification time or size.
// Settings are asked for on hot paths (every component call), so an unchanged file costs a stat.
static std::shared_ptr<const SettingEntries> machineIniEntries(const std::string& path) {
    static std::mutex lock;
    static std::string& cachedPath = keptState<std::string>();
    static std::shared_ptr<const SettingEntries>& cachedEntries =
        keptState<std::shared_ptr<const SettingEntries>>();
    static struct stat cachedStat {};
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (cachedEntries && cachedPath == path && st.st_dev == cachedStat.st_dev &&
        st.st_ino == cachedStat.st_ino && st.st_size == cachedStat.st_size &&
        st.st_mtim.tv_sec == cachedStat.st_mtim.tv_sec && st.st_mtim.tv_nsec == cachedStat.st_mtim.tv_nsec)
        return cachedEntries;
    auto entries = std::make_shared<SettingEntries>();
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        entries->emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    cachedPath = path;
    cachedStat = st;
    cachedEntries = entries;
    return cachedEntries;
}

std::shared_ptr<const SettingEntries> settingsSnapshot() {
    return machineIniEntries(rawRoot() + "/machine.ini");
}

std::string settingIn(const SettingEntries* entries, const char* key, const char* fallback) {
    std::string result = fallback ? fallback : "";
    if (!key || !entries) return result;
    // The last line naming the key wins, as it did when the file was read line by line.
    for (const auto& [name, value] : *entries)
        if (name == key) result = value;
    return result;
}

std::string setting(const char* key, const char* fallback) {
    if (!key) return fallback ? fallback : "";
    return settingIn(settingsSnapshot().get(), key, fallback);
}

void setSetting(const char* key, const std::string& value) {
    if (!key || !*key) return;
    std::string root = rawRoot();
    makeDirs(root);
    std::string path = root + "/machine.ini";
    int lockFd = open((root + "/machine.ini.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd >= 0) flock(lockFd, LOCK_EX);
    std::istringstream in(readFile(path));
    std::string line, out;
    bool done = false;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && trim(line.substr(0, eq)) == key) {
            if (!done) out += std::string(key) + "=" + value + "\n";
            done = true;
            continue;
        }
        if (!line.empty()) out += line + "\n";
    }
    if (!done) out += std::string(key) + "=" + value + "\n";
    // Written aside and renamed, so a reader never sees half a file.
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
        o << out;
    }
    rename(tmp.c_str(), path.c_str());
    if (lockFd >= 0) close(lockFd);
}

void keepState(void* object, void (*destroy)(void*)) {
    KeptStates& kept = keptStates();
    std::lock_guard<std::mutex> lock(kept.lock);
    kept.states.emplace_back(object, destroy);
}

void initProgram(int argc, char** argv) {
    ensureMachine();
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(argv[i] ? argv[i] : "");
    std::wstring line = commandLineFrom(args);
    unsetenv("KVLB_COMMAND_LINE");  // meant for this program only
    std::lock_guard<std::mutex> lock(g_cmdLock);
    g_cmdLine = line;
    g_cmdSet = true;
}

}  // namespace platform

LPWSTR GetCommandLineW(void) {
    using namespace platform;
    std::lock_guard<std::mutex> lock(g_cmdLock);
    if (!g_cmdSet) {
        g_cmdLine = commandLineFrom(procCmdline());
        g_cmdSet = true;
    }
    return g_cmdLine.data();
}
