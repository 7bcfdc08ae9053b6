// Windows kernel, shell-folder and C-runtime facilities the system relies on, given on POSIX.
// Names, argument orders, constants and results follow the Windows calls they stand for, so the
// system code reads as Windows code; the state behind them lives under the machine root
// (see root.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstddef>
#include <ctime>

// ---- calling conventions -------------------------------------------------------------------
// __stdcall on 32-bit Windows; callbacks and COM methods carry them so that one source serves
// both builds. One calling convention here.
#define WINAPI
#define CALLBACK
#define STDMETHODCALLTYPE

// ---- basic types ---------------------------------------------------------------------------
typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t INT_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR DWORD_PTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef wchar_t WCHAR;  // UTF-32 here, UTF-16 on Windows; the system never relies on its width
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef char16_t OLECHAR;  // always UTF-16, as COM strings are
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef void* HANDLE;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef LONG HRESULT;
typedef void (*FARPROC)(void);
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

// ---- errors --------------------------------------------------------------------------------
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_DIRECTORY_NAME_INVALID 267u
#define ERROR_INVALID_NAME 123u
#define ERROR_TIMEOUT 1460u
#define ERROR_NOT_OWNER 288u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_ENVVAR_NOT_FOUND 203u
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
DWORD GetLastError(void);
void SetLastError(DWORD code);

// ---- handles, waits ------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define SYNCHRONIZE 0x00100000u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define EVENT_ALL_ACCESS 0x001F0003u
#define EVENT_MODIFY_STATE 0x0002u
BOOL CloseHandle(HANDLE h);
DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);  // mutexes, events, processes
void Sleep(DWORD milliseconds);

// ---- security attributes (only the NULL-DACL case the system uses) -------------------------
typedef struct SECURITY_DESCRIPTOR {
    BYTE revision;
    BYTE present;
    void* dacl;
} SECURITY_DESCRIPTOR;
typedef SECURITY_DESCRIPTOR* PSECURITY_DESCRIPTOR;
typedef struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
#define SECURITY_DESCRIPTOR_REVISION 1
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, void* dacl, BOOL defaulted);

// ---- named mutexes and events --------------------------------------------------------------
// "Global\" names are machine-wide; all other names live in the session of the root.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES sa, BOOL initialOwner, LPCWSTR name);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES sa, BOOL initialOwner, LPCSTR name);
HANDLE OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL PulseEvent(HANDLE event);

// ---- processes -----------------------------------------------------------------------------
#define CREATE_NO_WINDOW 0x08000000u
#define CREATE_UNICODE_ENVIRONMENT 0x00000400u
#define STILL_ACTIVE 259u
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_VM_READ 0x0010u
#define PROCESS_ALL_ACCESS 0x001FFFFFu
typedef struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved, lpDesktop, lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow, cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;
typedef struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;
void GetStartupInfoW(LPSTARTUPINFOW info);
// The command line is split by the Windows rules; a bare program name (".exe" added when it has
// no extension) is looked for beside the calling executable, then in the system folder, the
// Windows folder and on PATH. The command line buffer may be written to, as on Windows. The child
// lives on the same machine (KVLB_ROOT is passed on).
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL TerminateProcess(HANDLE process, UINT exitCode);  // the process ends with that code
DWORD GetCurrentProcessId(void);
DWORD GetCurrentThreadId(void);
HANDLE GetCurrentProcess(void);
void ExitProcess(UINT exitCode);
// A program's command line as Windows hands it over; main() registers argv once (see root.h).
LPWSTR GetCommandLineW(void);

// process lists (Toolhelp32 and psapi)
#define TH32CS_SNAPHEAPLIST 0x00000001u
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPTHREAD 0x00000004u
#define TH32CS_SNAPMODULE 0x00000008u
#define TH32CS_SNAPALL 0x0000000Fu
typedef struct PROCESSENTRY32W {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[MAX_PATH];  // image name, e.g. L"KVLBTessarionMain.exe"
} PROCESSENTRY32W, *LPPROCESSENTRY32W;
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry);
BOOL EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned);
BOOL EnumProcessModules(HANDLE process, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded);
DWORD GetModuleBaseNameW(HANDLE process, HMODULE module, LPWSTR baseName, DWORD size);

// ---- users, environment --------------------------------------------------------------------
BOOL GetUserNameW(LPWSTR buffer, LPDWORD size);  // size in characters, including the NUL
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
DWORD ExpandEnvironmentStringsA(LPCSTR src, LPSTR dst, DWORD size);
DWORD ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size);

// ---- folders and files ---------------------------------------------------------------------
#define CSIDL_DESKTOP 0x0000
#define CSIDL_DESKTOPDIRECTORY 0x0010
#define CSIDL_APPDATA 0x001a
#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_PROFILE 0x0028
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
HRESULT SHGetFolderPathW(HANDLE owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
DWORD GetTempPathW(DWORD size, LPWSTR buffer);  // ends with a backslash
HMODULE GetModuleHandleW(LPCWSTR moduleName);   // NULL: the program itself
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

#define FILE_ATTRIBUTE_READONLY 0x01u
#define FILE_ATTRIBUTE_HIDDEN 0x02u
#define FILE_ATTRIBUTE_SYSTEM 0x04u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa);
BOOL RemoveDirectoryW(LPCWSTR path);
BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists);
BOOL DeleteFileW(LPCWSTR path);
BOOL MoveFileW(LPCWSTR existing, LPCWSTR target);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
typedef struct FILETIME {
    DWORD dwLowDateTime, dwHighDateTime;
} FILETIME;
typedef struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow, dwReserved0, dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);  // '*' and '?'
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);
// The C runtime's file opening with Windows paths. Text mode ("r", "w", "a" without "b") turns
// "\n" into CR LF on writing and CR LF into "\n" on reading, as on Windows.
FILE* _wfopen(LPCWSTR path, LPCWSTR mode);
FILE* winFopen(const char* path, const char* mode);  // narrow (UTF-8) Windows path
int _wremove(LPCWSTR path);
// The host path a Windows path maps to (for the few places that hand a path to a library).
// Returns false when the path cannot be mapped. out gets a NUL-terminated UTF-8 host path.
bool winPathToHost(LPCWSTR path, char* out, size_t outSize);

// ---- file version resources and system information ----------------------------------------
typedef struct VS_FIXEDFILEINFO {
    DWORD dwSignature, dwStrucVersion, dwFileVersionMS, dwFileVersionLS, dwProductVersionMS,
        dwProductVersionLS, dwFileFlagsMask, dwFileFlags, dwFileOS, dwFileType, dwFileSubtype, dwFileDateMS,
        dwFileDateLS;
} VS_FIXEDFILEINFO;  // 52 bytes
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data);
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length);
#define VER_NT_WORKSTATION 1
#define VER_NT_DOMAIN_CONTROLLER 2
#define VER_NT_SERVER 3
typedef struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize, dwMajorVersion, dwMinorVersion, dwBuildNumber, dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor, wServicePackMinor, wSuiteMask;
    BYTE wProductType, wReserved;
} OSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;
typedef OSVERSIONINFOEXW OSVERSIONINFOW;
BOOL GetVersionExW(OSVERSIONINFOEXW* info);
#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_IA64 6
#define PROCESSOR_ARCHITECTURE_AMD64 9
typedef struct SYSTEM_INFO {
    WORD wProcessorArchitecture, wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress, lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors, dwProcessorType, dwAllocationGranularity;
    WORD wProcessorLevel, wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;
void GetNativeSystemInfo(LPSYSTEM_INFO info);
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_SERVERR2 89
int GetSystemMetrics(int index);

// ---- dynamic libraries ---------------------------------------------------------------------
// Two copies of one library at two paths are two independent instances.
HMODULE LoadLibraryW(LPCWSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
BOOL FreeLibrary(HMODULE module);

// ---- random bytes, time --------------------------------------------------------------------
BOOL SystemFunction036(void* buffer, ULONG length);  // RtlGenRandom
#define RtlGenRandom SystemFunction036
typedef struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;
// Local and UTC time of the machine: the host clock moved by the root's clock offset, so a test
// can advance time without waiting.
void GetLocalTime(LPSYSTEMTIME st);
void GetSystemTime(LPSYSTEMTIME st);
time_t winTime(time_t* out);                  // calendar time, with the root's clock offset
bool winLocalTime(time_t t, struct tm* out);  // broken-down local time
DWORD GetTickCount(void);                     // monotonic, also moved by the offset

// ---- code pages ----------------------------------------------------------------------------
#define CP_ACP 0u
#define CP_UTF8 65001u
#define CP_BIG5 950u
#define MB_ERR_INVALID_CHARS 0x08u
#define WC_ERR_INVALID_CHARS 0x80u
// cbMultiByte / cchWideChar of -1 means NUL-terminated (the NUL counted in the result). With an
// output size of 0 the needed size is returned. CP_ACP is the root's ANSI code page (1252 by default).
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR mb, int cbMultiByte, LPWSTR wide, int cchWideChar);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR mb, int cbMultiByte, OLECHAR* wide,
                        int cchWideChar);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWideChar, LPSTR mb, int cbMultiByte,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar);
int WideCharToMultiByte(UINT codePage, DWORD flags, const OLECHAR* wide, int cchWideChar, LPSTR mb,
                        int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar);

// ---- BSTR ----------------------------------------------------------------------------------
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);  // text may be NULL: zero-filled
BSTR SysAllocString(const OLECHAR* text);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
