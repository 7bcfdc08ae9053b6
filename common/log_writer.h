// The log writer: one-line records appended to a dated, size-rotated log file that every program
// shares, ordered across processes by the named mutex "Global\ZTLog"; configured by the log ini
// file, read by the small ini reader below.
#pragma once
#include <cstddef>
#include "platform/win_base.h"

struct LogSettings {
    char fileName[128];  // configured base name, e.g. "C:\ZTLog.log"
    int enabled;
    int maxLevel;         // records above it are not written
    int maxSize;          // bytes; 0 or less: no size rotation
    int rotationCounter;  // only ever goes up, for the life of the process
    HANDLE mutex;
};
extern LogSettings logSettings;

// Status of one ini lookup.
#define PROFILE_FOUND 0
#define PROFILE_NO_FILE 101
#define PROFILE_NO_SECTION 102
#define PROFILE_NO_KEY 103

#define LOG_DEFAULT_FILE "C:\\ZTLog.log"
#define LOG_MUTEX_NAME "Global\\ZTLog"

// 0 when handled (also when the file cannot be opened), -2 when level is above the maximum.
int writeLogLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// -1 when the writer is already enabled, else the status of the "Log Level" lookup (0: logging on).
int initLogFromIni(const char* section, const char* path);
// Level 0 switches the writer off; any other level with a name switches it on. Always 0.
int setLogFileLevel(const char* fileName, int level);
// One key lookup: opens, searches and closes the ini file.
int getProfileString(const char* section, const char* key, char* out, int size, const char* iniPath);

// Pieces, visible for the tests.
// Level name of a record: "[DEBUG]" for 5, "" for 0 and any level outside 0..5.
const char* logLevelName(int level);
// "<stem>_<yyyymmdd>[_<counter>]<ext>", the extension starting at the last "." of the whole path.
void composeLogFileName(const char* base, int year, int month, int day, int counter, char* out, size_t n);
// The file name for the next record (rotating past full files) and its time stamp; false when the
// clock cannot be read. fileName needs MAX_PATH bytes, stamp LOG_STAMP_SIZE.
#define LOG_STAMP_SIZE 96
bool makeLogFileName(char* fileName, char* stamp);
// A header line "[ name ]"; with section NULL any header, else only that name (case ignored).
bool isProfileSection(const char* line, const char* section);
// A key line "key=value" of that key (case ignored); value points behind the "=".
bool matchProfileKey(const char* line, const char* key, const char** value);
// Trailing CR and LF removed, a quoted value unquoted; in place.
void cleanProfileValue(char* value);
