// KVLBTessarionWorker.exe: one job per run, chosen by the command line (without the program
// name): the control verbs that start, stop, restart and reset the monitor and the service, the
// monitor's watchdog, and the installer's support modes.
#pragma once
#include <string>
#include <vector>

#include "common/result_codes.h"
#include "platform/win_base.h"

// The exit code of a run: 0, or kResultBadArguments (61005) for an uninstall detection without
// exactly two items.

// Runs the mode the command line selects and ends the run; the result is the exit code.
int workerMain(const char* commandLine);

// Values of one run.
extern char instanceTag[512];         // "TessarionWorker-<session id>", the log tag
extern wchar_t* moduleFolder;         // the folder of the worker's executable
extern unsigned char selfDeleteFlag;  // set by the uninstall modes

// Ends a program by its image name (also its IPC channel), reported as "TessarionWorker"; true
// when no process of that name is left.
bool killProgram(const char* inputTo);

// The watchdog: waits until the monitor's liveness mutex is free, then starts "-reset".
void runWatchdog();

// The installer modes. runUninstallDetect is false when the items are wrong and the run must
// end at once with kResultBadArguments.
bool runUninstallDetect(const char* commandLine);
void runDelete(const char* commandLine);
void runKeyToByte(const char* commandLine);

// Breadth-first walk from folder: every file matching the pattern, as "<folder>\<name>"; folders
// matching it are walked too. False when a search fails (also a folder where nothing matches).
bool findFilesByPattern(const wchar_t* folder, const wchar_t* pattern, std::vector<std::wstring>& results);
// Appends the text to "Cert.h" in the current folder.
bool appendCertText(const char* text);
// Starts a hidden command that deletes the worker's executable about 2 s after the worker ends.
void selfDeleteAfterExit();

// The text after the first blank of the command line, at most 511 characters.
std::string commandTail(const char* commandLine);
// The pieces of the uninstall detection joined into items: a path with blanks becomes one item
// again, each item ending at a piece that contains ".exe". False when there are more than 16
// pieces.
bool joinUninstallItems(const std::string& tail, std::vector<std::string>& items);
// The byte-array declaration of a key file's bytes.
std::string keyToByteText(const char* fileName, const unsigned char* bytes, size_t length);
