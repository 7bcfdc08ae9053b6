// Pieces the platform's own files share: text conversion at the edge, path mapping, the handle
// table and the machine set-up of a root. Not for the system code.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>
#include "platform/ascii_case.h"
#include "platform/win_base.h"

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

}  // namespace platform
