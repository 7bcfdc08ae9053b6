// First versions of the platform calls, so everything links while the real ones land.
#include "platform/win_base.h"
#include "platform/root.h"
#include <cstdlib>
#include <cstring>

namespace platform {
std::string rootDir() { const char* r = std::getenv("KVLB_ROOT"); return r ? r : "/tmp/.kvlbtessarion"; }
std::string setting(const char*, const char* fallback) { return fallback ? fallback : ""; }
void setSetting(const char*, const std::string&) {}
void initProgram(int, char**) {}
}  // namespace platform

static thread_local DWORD g_lastError;
DWORD GetLastError(void) { return g_lastError; }
void SetLastError(DWORD code) { g_lastError = code; }
BOOL CloseHandle(HANDLE) { return TRUE; }
DWORD WaitForSingleObject(HANDLE, DWORD) { return WAIT_FAILED; }
void Sleep(DWORD) {}
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR, DWORD) { return TRUE; }
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR, BOOL, void*, BOOL) { return TRUE; }
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) { return nullptr; }
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) { return nullptr; }
HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR) { return nullptr; }
HANDLE OpenMutexA(DWORD, BOOL, LPCSTR) { return nullptr; }
BOOL ReleaseMutex(HANDLE) { return FALSE; }
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) { return nullptr; }
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) { return nullptr; }
HANDLE OpenEventW(DWORD, BOOL, LPCWSTR) { return nullptr; }
HANDLE OpenEventA(DWORD, BOOL, LPCSTR) { return nullptr; }
BOOL SetEvent(HANDLE) { return FALSE; }
BOOL ResetEvent(HANDLE) { return FALSE; }
BOOL PulseEvent(HANDLE) { return FALSE; }
void GetStartupInfoW(LPSTARTUPINFOW info) { if (info) std::memset(info, 0, sizeof *info); }
BOOL CreateProcessW(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                    LPSTARTUPINFOW, LPPROCESS_INFORMATION) { return FALSE; }
BOOL GetExitCodeProcess(HANDLE, LPDWORD) { return FALSE; }
HANDLE OpenProcess(DWORD, BOOL, DWORD) { return nullptr; }
BOOL TerminateProcess(HANDLE, UINT) { return FALSE; }
DWORD GetCurrentProcessId(void) { return 0; }
DWORD GetCurrentThreadId(void) { return 0; }
HANDLE GetCurrentProcess(void) { return (HANDLE)(intptr_t)-1; }
void ExitProcess(UINT exitCode) { std::exit((int)exitCode); }
LPWSTR GetCommandLineW(void) { static wchar_t empty[1]; return empty; }
HANDLE CreateToolhelp32Snapshot(DWORD, DWORD) { return INVALID_HANDLE_VALUE; }
BOOL Process32FirstW(HANDLE, LPPROCESSENTRY32W) { return FALSE; }
BOOL Process32NextW(HANDLE, LPPROCESSENTRY32W) { return FALSE; }
BOOL EnumProcesses(DWORD*, DWORD, DWORD* r) { if (r) *r = 0; return FALSE; }
BOOL EnumProcessModules(HANDLE, HMODULE*, DWORD, LPDWORD) { return FALSE; }
DWORD GetModuleBaseNameW(HANDLE, HMODULE, LPWSTR, DWORD) { return 0; }
BOOL GetUserNameW(LPWSTR, LPDWORD) { return FALSE; }
DWORD GetEnvironmentVariableW(LPCWSTR, LPWSTR, DWORD) { return 0; }
DWORD ExpandEnvironmentStringsA(LPCSTR, LPSTR, DWORD) { return 0; }
DWORD ExpandEnvironmentStringsW(LPCWSTR, LPWSTR, DWORD) { return 0; }
HRESULT SHGetFolderPathW(HANDLE, int, HANDLE, DWORD, LPWSTR) { return E_FAIL; }
UINT GetWindowsDirectoryW(LPWSTR, UINT) { return 0; }
UINT GetSystemDirectoryW(LPWSTR, UINT) { return 0; }
DWORD GetTempPathW(DWORD, LPWSTR) { return 0; }
HMODULE GetModuleHandleW(LPCWSTR) { return nullptr; }
DWORD GetModuleFileNameW(HMODULE, LPWSTR, DWORD) { return 0; }
BOOL CreateDirectoryW(LPCWSTR, LPSECURITY_ATTRIBUTES) { return FALSE; }
BOOL RemoveDirectoryW(LPCWSTR) { return FALSE; }
BOOL CopyFileW(LPCWSTR, LPCWSTR, BOOL) { return FALSE; }
BOOL DeleteFileW(LPCWSTR) { return FALSE; }
BOOL MoveFileW(LPCWSTR, LPCWSTR) { return FALSE; }
DWORD GetFileAttributesW(LPCWSTR) { return INVALID_FILE_ATTRIBUTES; }
BOOL SetFileAttributesW(LPCWSTR, DWORD) { return FALSE; }
HANDLE FindFirstFileW(LPCWSTR, LPWIN32_FIND_DATAW) { return INVALID_HANDLE_VALUE; }
BOOL FindNextFileW(HANDLE, LPWIN32_FIND_DATAW) { return FALSE; }
BOOL FindClose(HANDLE) { return TRUE; }
FILE* _wfopen(LPCWSTR, LPCWSTR) { return nullptr; }
FILE* winFopen(const char*, const char*) { return nullptr; }
int _wremove(LPCWSTR) { return -1; }
bool winPathToHost(LPCWSTR, char*, size_t) { return false; }
DWORD GetFileVersionInfoSizeW(LPCWSTR, LPDWORD) { return 0; }
BOOL GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) { return FALSE; }
BOOL VerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, UINT*) { return FALSE; }
BOOL GetVersionExW(OSVERSIONINFOEXW*) { return FALSE; }
void GetNativeSystemInfo(LPSYSTEM_INFO info) { if (info) std::memset(info, 0, sizeof *info); }
int GetSystemMetrics(int) { return 0; }
HMODULE LoadLibraryW(LPCWSTR) { return nullptr; }
FARPROC GetProcAddress(HMODULE, LPCSTR) { return nullptr; }
BOOL FreeLibrary(HMODULE) { return FALSE; }
BOOL SystemFunction036(void*, ULONG) { return FALSE; }
void GetLocalTime(LPSYSTEMTIME st) { if (st) std::memset(st, 0, sizeof *st); }
void GetSystemTime(LPSYSTEMTIME st) { if (st) std::memset(st, 0, sizeof *st); }
time_t winTime(time_t* out) { time_t t = time(nullptr); if (out) *out = t; return t; }
bool winLocalTime(time_t t, struct tm* out) { return localtime_r(&t, out) != nullptr; }
DWORD GetTickCount(void) { return 0; }
int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int) { return 0; }
int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, OLECHAR*, int) { return 0; }
int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL) { return 0; }
int WideCharToMultiByte(UINT, DWORD, const OLECHAR*, int, LPSTR, int, LPCSTR, LPBOOL) { return 0; }
BSTR SysAllocStringLen(const OLECHAR*, UINT) { return nullptr; }
BSTR SysAllocString(const OLECHAR*) { return nullptr; }
void SysFreeString(BSTR) {}
UINT SysStringLen(BSTR) { return 0; }
