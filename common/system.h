// The library's thin layer over the Windows kernel and shell: hidden commands, per-user named
// mutexes, the user name, the folders the programs work in, file tests and whole-file reads, and
// the loopback port check. Paths and command lines are wide text; returned texts are new
// zero-filled heap blocks the caller frees with free().
#pragma once
#include "platform/win_base.h"

// The command line the service starts when it is asked to bring the monitor up again.
#define WORKER_START_COMMAND L"KVLBTessarionWorker.exe -start"

// Runs a command line hidden and waits for it; the result is its exit code. With useCmd the line
// is run as "cmd /c <command>" (the service always, the worker by choice), without it as given
// (the monitor). NULL gives 1; a program that cannot be started gives -1.
int hideWaitCommand(const wchar_t* command, bool useCmd);
// Starts a command line hidden without waiting (the service passes WORKER_START_COMMAND).
void hideNOWaitCommand(const wchar_t* command);

// Takes the per-user mutex "<user>_<name>" within the timeout; the held handle, or NULL when it is
// busy, was abandoned or cannot be had. The caller releases and closes the handle.
HANDLE getMutexLock(const wchar_t* inputMutexLock, DWORD timeout);
HANDLE getMutexLock(const char* inputMutexLock, DWORD timeout);  // UTF-8 name

wchar_t* getUserName();
wchar_t* getUserTempPath();  // ends with a backslash; empty when the folder cannot be had
// The common application-data folder, with "\<subFolder>" (UTF-8) when one is given; also kept
// in lastDataFolder.
wchar_t* getFolderPath(const char* subFolder);
wchar_t* getModuleFolder();
wchar_t* getWindowsFolder();

bool fileExists(const wchar_t* inputFileName);
// The whole file read in text mode (CR LF arrives as LF); NULL when it cannot be read or is empty.
char* readWholeFile(const wchar_t* inputPath);

// Writes the text in text mode (line ends become CR LF); false for a NULL or empty path, a NULL
// text or an open failure.
bool writeTextFile(const wchar_t* path, const char* text);
// Creates every folder level of a path: the text before each backslash or slash.
void makeFolderLevels(const wchar_t* path);
// The user's desktop folder as a new wide text, or NULL.
wchar_t* getDesktopFolder();
// Local time as "YYYY-MM-DD hh-mm-ss" in a new 64-byte text; "Unknow time" when unavailable.
char* localTimeText();

// True when netstat shows a listening or established TCP line on 127.0.0.1:<port>. The command's
// output goes to "<lastDataFolder>\Tempfile\TessarionTemp".
bool isPortInUse(int port);
// One line of that output: exactly protocol, local and foreign address and state, the state
// LISTENING or ESTABLISHED and one end 127.0.0.1:<port> (case ignored).
bool netstatLineShowsPort(const char* line, int port);

// The last result of getFolderPath; the IPC start-up reads it.
extern wchar_t lastDataFolder[MAX_PATH];
