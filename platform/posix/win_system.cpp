// System information (the Windows version the machine reports), time with the root's clock
// offset, random bytes, the user and the environment a Windows program sees, and libraries.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/posix/win_internal.h"

extern char** environ;

namespace platform {
namespace {

struct WindowsVersion {
    DWORD major, minor, build;
    BYTE productType;
    WORD servicePack;
    DWORD reportedMajor, reportedMinor, reportedBuild;  // what GetVersionEx admits to an unmanifested program
};

WindowsVersion currentVersion() {
    std::string w = setting("windows", "10");
    static const struct {
        const char* name;
        WindowsVersion version;
    } kNamed[] = {
        {"xp", {5, 1, 2600, VER_NT_WORKSTATION, 3, 5, 1, 2600}},
        {"vista", {6, 0, 6002, VER_NT_WORKSTATION, 2, 6, 0, 6002}},
        {"7", {6, 1, 7601, VER_NT_WORKSTATION, 1, 6, 1, 7601}},
        {"8", {6, 2, 9200, VER_NT_WORKSTATION, 0, 6, 2, 9200}},
        {"8.1", {6, 3, 9600, VER_NT_WORKSTATION, 0, 6, 2, 9200}},
        {"11", {10, 0, 22631, VER_NT_WORKSTATION, 0, 6, 2, 9200}},
        {"server2016", {10, 0, 14393, VER_NT_SERVER, 0, 6, 2, 9200}},
        {"unknown", {4, 0, 1381, VER_NT_WORKSTATION, 0, 4, 0, 1381}},
    };
    WindowsVersion v{10, 0, 19045, VER_NT_WORKSTATION, 0, 6, 2, 9200};
    for (const auto& named : kNamed)
        if (w == named.name) v = named.version;
    std::string build = setting("build", "");
    if (!build.empty()) {
        v.build = (DWORD)std::strtoul(build.c_str(), nullptr, 10);
        if (v.reportedMajor == v.major && v.reportedMinor == v.minor) v.reportedBuild = v.build;
    }
    return v;
}

// "KVLBVERS", kept out of the program's own bytes so that a scan for it finds only real blocks.
std::string versionMagic() {
    std::string m = "LWMCWFST";
    for (auto& c : m) c = (char)(c - 1);
    return m;
}

constexpr DWORD kFixedSignature = 0xFEEF04BD;

std::string kernel32Content() {
    WindowsVersion v = currentVersion();
    VS_FIXEDFILEINFO f{};
    f.dwSignature = kFixedSignature;
    f.dwStrucVersion = 0x00010000;
    f.dwFileVersionMS = f.dwProductVersionMS = (v.major << 16) | v.minor;
    f.dwFileVersionLS = f.dwProductVersionLS = (v.build << 16) | 1;
    f.dwFileFlagsMask = 0x3F;
    f.dwFileOS = 0x00040004;  // NT, 32-bit Windows API
    f.dwFileType = 2;         // a DLL
    std::string out = versionMagic();
    out.append((const char*)&f, sizeof f);
    return out;
}

std::string readAll(const std::string& path, size_t limit = 64u << 20) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::string s;
    char buf[65536];
    while (s.size() < limit && in.read(buf, sizeof buf).gcount() > 0) s.append(buf, (size_t)in.gcount());
    return s;
}

// The version block of a file: the magic and the fixed file information, found anywhere in it.
bool versionBlock(LPCWSTR fileName, std::string& block) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string host = hostPath(fileName);
    if (host.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (host == hostPath(L"C:\\Windows\\System32\\kernel32.dll"))
        writeKernel32(hostPath(L"C:\\Windows\\System32"));
    std::ifstream probe(host, std::ios::binary);
    if (!probe) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::string data = readAll(host);
    std::string magic = versionMagic();
    for (size_t pos = data.find(magic); pos != std::string::npos; pos = data.find(magic, pos + 1)) {
        if (pos + magic.size() + sizeof(VS_FIXEDFILEINFO) > data.size()) break;
        DWORD sig;
        std::memcpy(&sig, data.data() + pos + magic.size(), sizeof sig);
        if (sig == kFixedSignature) {
            block = data.substr(pos, magic.size() + sizeof(VS_FIXEDFILEINFO));
            return true;
        }
    }
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
}

DWORD putText(const std::wstring& text, LPWSTR buffer, DWORD size) {
    if (!buffer || size <= text.size()) return (DWORD)text.size() + 1;
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    return (DWORD)text.size();
}

bool lookupVariable(const std::wstring& name, std::wstring& value) {
    std::wstring user = userName();
    struct Fixed {
        const wchar_t* name;
        std::wstring value;
    };
    const Fixed fixed[] = {
        {L"HOMEDRIVE", L"C:"},
        {L"HOMEPATH", L"\\Users\\" + user},
        {L"USERNAME", user},
        {L"USERPROFILE", L"C:\\Users\\" + user},
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"windir", L"C:\\Windows"},
        {L"ProgramData", L"C:\\ProgramData"},
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"APPDATA", L"C:\\Users\\" + user + L"\\AppData\\Roaming"},
        {L"LOCALAPPDATA", L"C:\\Users\\" + user + L"\\AppData\\Local"},
        {L"TEMP", L"C:\\Users\\" + user + L"\\AppData\\Local\\Temp"},
        {L"TMP", L"C:\\Users\\" + user + L"\\AppData\\Local\\Temp"},
    };
    for (const auto& f : fixed) {
        if (iequals(name, f.name)) {
            value = f.value;
            return true;
        }
    }
    // Other names come from the host environment, matched ignoring case as on Windows.
    for (char** e = environ; *e; ++e) {
        std::wstring entry = fromUtf8(*e);
        size_t eq = entry.find(L'=');
        if (eq != std::wstring::npos && iequals(entry.substr(0, eq), name)) {
            value = entry.substr(eq + 1);
            return true;
        }
    }
    return false;
}

std::wstring expand(const std::wstring& src) {
    std::wstring out;
    size_t i = 0;
    while (i < src.size()) {
        if (src[i] == L'%') {
            size_t end = src.find(L'%', i + 1);
            if (end != std::wstring::npos && end > i + 1) {
                std::wstring value;
                if (lookupVariable(src.substr(i + 1, end - i - 1), value)) {
                    out += value;
                    i = end + 1;
                    continue;
                }
                // An undefined name stays as written; its closing % may open the next one.
                out += src.substr(i, end - i);
                i = end;
                continue;
            }
        }
        out += src[i++];
    }
    return out;
}

struct ModuleObject : KObject {
    ModuleObject() : KObject(Kind::Module) {}
    ~ModuleObject() override {
        if (lib) dlclose(lib);
    }
    void* lib = nullptr;
    std::wstring path;  // Windows path it was loaded from; empty for the program itself
};

std::mutex g_moduleLock;
std::vector<ModuleObject*>& g_modules = keptState<std::vector<ModuleObject*>>();
ModuleObject* g_programModule = nullptr;

ModuleObject* programModule() {
    std::lock_guard<std::mutex> lock(g_moduleLock);
    if (!g_programModule) {
        g_programModule = new ModuleObject;
        addHandle(g_programModule);
        // Part of this copy's state: a library that carries its own copy of the layer (the adapter,
        // loaded once per session) lets it go when unloaded, not one per load.
        keepState(g_programModule, [](void* module) { dropHandle(module); });
    }
    return g_programModule;
}

std::wstring programPath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return L"";
    return winPath(std::string(buf, (size_t)n));
}

}  // namespace

void writeKernel32(const std::string& hostSystemDir) {
    std::string path = hostSystemDir + "/kernel32.dll";
    std::string want = kernel32Content();
    if (readAll(path) == want) return;
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << want;
    }
    rename(tmp.c_str(), path.c_str());
}

std::wstring userName() {
    std::wstring u = fromUtf8(setting("user", "User"));
    return u.empty() ? L"User" : u;
}

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t offset = std::strtoll(setting("clock_offset_ms", "0").c_str(), nullptr, 10);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000 + offset;
}

}  // namespace platform

using namespace platform;

// ---- version and system information -------------------------------------------------------

DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
    if (handle) *handle = 0;
    std::string block;
    return versionBlock(fileName, block) ? (DWORD)block.size() : 0;
}

BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD, DWORD size, LPVOID data) {
    std::string block;
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!versionBlock(fileName, block)) return FALSE;
    if (size < block.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(data, block.data(), block.size());
    return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length) {
    if (!block || !subBlock || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string magic = versionMagic();
    if (std::memcmp(block, magic.data(), magic.size()) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (std::wcscmp(subBlock, L"\\") != 0) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return FALSE;
    }
    *buffer = (void*)((const char*)block + magic.size());
    if (length) *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}

BOOL GetVersionExW(OSVERSIONINFOEXW* info) {
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW) &&
                  info->dwOSVersionInfoSize < offsetof(OSVERSIONINFOEXW, wServicePackMajor))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    WindowsVersion v = currentVersion();
    bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW);
    DWORD size = info->dwOSVersionInfoSize;
    std::memset(info, 0, extended ? sizeof *info : offsetof(OSVERSIONINFOEXW, wServicePackMajor));
    info->dwOSVersionInfoSize = size;
    info->dwMajorVersion = v.reportedMajor;
    info->dwMinorVersion = v.reportedMinor;
    info->dwBuildNumber = v.reportedBuild;
    info->dwPlatformId = 2;  // NT
    if (v.servicePack) {
        std::wstring sp = L"Service Pack " + std::to_wstring(v.servicePack);
        std::wmemcpy(info->szCSDVersion, sp.c_str(), sp.size() + 1);
    }
    if (extended) {
        info->wServicePackMajor = v.servicePack;
        info->wSuiteMask = 0x100;  // single user
        info->wProductType = v.productType;
    }
    return TRUE;
}

void GetNativeSystemInfo(LPSYSTEM_INFO info) {
    if (!info) return;
    std::memset(info, 0, sizeof *info);
    bool x86 = setting("arch", "x64") == "x86";
    info->wProcessorArchitecture = x86 ? PROCESSOR_ARCHITECTURE_INTEL : PROCESSOR_ARCHITECTURE_AMD64;
    info->dwPageSize = 4096;
    info->lpMinimumApplicationAddress = (LPVOID)(uintptr_t)0x10000;
    info->lpMaximumApplicationAddress = (LPVOID)(uintptr_t)(x86 ? 0x7FFEFFFFull : 0x7FFFFFFEFFFFull);
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    info->dwNumberOfProcessors = cpus > 0 ? (DWORD)cpus : 1;
    info->dwActiveProcessorMask =
        info->dwNumberOfProcessors >= 64 ? ~(DWORD_PTR)0 : (((DWORD_PTR)1 << info->dwNumberOfProcessors) - 1);
    info->dwProcessorType = x86 ? 586 : 8664;
    info->dwAllocationGranularity = 65536;
    info->wProcessorLevel = 6;
}

int GetSystemMetrics(int index) {
    switch (index) {
        case SM_CXSCREEN:
            return std::atoi(setting("screen_width", "1920").c_str());
        case SM_CYSCREEN:
            return std::atoi(setting("screen_height", "1080").c_str());
        case SM_SERVERR2:
            return 0;  // no setting names Windows Server 2003 R2
        default:
            return 0;
    }
}

// ---- libraries ----------------------------------------------------------------------------

HMODULE LoadLibraryW(LPCWSTR fileName) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::wstring name = fileName;
    size_t slash = name.find_last_of(L"\\/");
    std::wstring file = slash == std::wstring::npos ? name : name.substr(slash + 1);
    if (file.find(L'.') == std::wstring::npos) name += L".dll";
    std::vector<std::wstring> tries;
    if (name.find_first_of(L"\\/:") != std::wstring::npos) {
        tries.push_back(name);
    } else {
        std::wstring self = programPath();
        if (!self.empty()) tries.push_back(self.substr(0, self.rfind(L'\\') + 1) + name);
        tries.push_back(L"C:\\Windows\\System32\\" + name);
        tries.push_back(name);
    }
    for (auto& t : tries) {
        std::string host = hostPath(t);
        if (host.empty() || access(host.c_str(), F_OK) != 0) continue;
        void* lib = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
        auto* m = new ModuleObject;
        m->lib = lib;
        m->path = winPath(host);
        {
            std::lock_guard<std::mutex> lock(g_moduleLock);
            g_modules.push_back(m);
        }
        return addHandle(m);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    auto* m = static_cast<ModuleObject*>(lookHandle(module, Kind::Module));
    if (!m) return nullptr;
    if (!procName || (uintptr_t)procName < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* sym = dlsym(m->lib ? m->lib : RTLD_DEFAULT, procName);
    if (!sym) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC f;
    std::memcpy(&f, &sym, sizeof f);
    return f;
}

BOOL FreeLibrary(HMODULE module) {
    auto* m = static_cast<ModuleObject*>(lookHandle(module, Kind::Module));
    if (!m || m == g_programModule) return FALSE;
    {
        std::lock_guard<std::mutex> lock(g_moduleLock);
        for (auto it = g_modules.begin(); it != g_modules.end(); ++it) {
            if (*it == m) {
                g_modules.erase(it);
                break;
            }
        }
    }
    return dropHandle(module) ? TRUE : FALSE;
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (!moduleName) return programModule();
    std::wstring want = moduleName;
    std::lock_guard<std::mutex> lock(g_moduleLock);
    for (auto* m : g_modules) {
        std::wstring base = m->path.substr(m->path.find_last_of(L'\\') + 1);
        if (iequals(base, want) || iequals(base, want + L".dll") || iequals(m->path, want)) return m;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::wstring path;
    if (!module || module == g_programModule) {
        path = programPath();
    } else {
        auto* m = static_cast<ModuleObject*>(lookHandle(module, Kind::Module));
        if (!m) return 0;
        path = m->path;
    }
    if (!fileName || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // Cut and terminated, as Windows does; the full size tells the caller it was cut.
        std::wmemcpy(fileName, path.c_str(), size - 1);
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)path.size();
}

// ---- users and environment ----------------------------------------------------------------

BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring u = userName();
    if (!buffer || *size <= u.size()) {
        *size = (DWORD)u.size() + 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::wmemcpy(buffer, u.c_str(), u.size() + 1);
    *size = (DWORD)u.size() + 1;
    return TRUE;
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    std::wstring value;
    if (!name || !lookupVariable(name, value)) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return putText(value, buffer, size);
}

DWORD ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size) {
    if (!src) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring out = expand(src);
    if (dst && size > out.size())
        std::wmemcpy(dst, out.c_str(), out.size() + 1);
    else if (dst && size)
        dst[0] = 0;
    return (DWORD)out.size() + 1;
}

// Narrow texts of the layer are UTF-8.
DWORD ExpandEnvironmentStringsA(LPCSTR src, LPSTR dst, DWORD size) {
    if (!src) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string out = toUtf8(expand(fromUtf8(src)));
    if (dst && size > out.size())
        std::memcpy(dst, out.c_str(), out.size() + 1);
    else if (dst && size)
        dst[0] = 0;
    return (DWORD)out.size() + 1;
}

// ---- random bytes and time ----------------------------------------------------------------

BOOL SystemFunction036(void* buffer, ULONG length) {
    if (!buffer && length) return FALSE;
    // A test machine can take the source away to see how its callers fail.
    if (setting("random", "") == "fail") return FALSE;
    unsigned char* p = (unsigned char*)buffer;
    size_t left = length;
    while (left > 0) {
        ssize_t n = getrandom(p, left, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FALSE;
        }
        p += n;
        left -= (size_t)n;
    }
    return TRUE;
}

static void fillSystemTime(LPSYSTEMTIME st, bool local) {
    if (!st) return;
    int64_t ms = nowMs();
    time_t secs = (time_t)(ms / 1000);
    struct tm tm {};
    if (local)
        localtime_r(&secs, &tm);
    else
        gmtime_r(&secs, &tm);
    st->wYear = (WORD)(tm.tm_year + 1900);
    st->wMonth = (WORD)(tm.tm_mon + 1);
    st->wDayOfWeek = (WORD)tm.tm_wday;
    st->wDay = (WORD)tm.tm_mday;
    st->wHour = (WORD)tm.tm_hour;
    st->wMinute = (WORD)tm.tm_min;
    st->wSecond = (WORD)tm.tm_sec;
    st->wMilliseconds = (WORD)(ms % 1000);
}

void GetLocalTime(LPSYSTEMTIME st) {
    fillSystemTime(st, true);
}
void GetSystemTime(LPSYSTEMTIME st) {
    fillSystemTime(st, false);
}

time_t winTime(time_t* out) {
    time_t t = (time_t)(nowMs() / 1000);
    if (out) *out = t;
    return t;
}

bool winLocalTime(time_t t, struct tm* out) {
    return out && localtime_r(&t, out) != nullptr;
}

DWORD GetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t offset = std::strtoll(setting("clock_offset_ms", "0").c_str(), nullptr, 10);
    return (DWORD)((int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000 + offset);
}
