// The log writer and the log ini reader. Every record opens, appends to and closes the shared log
// file under "Global\ZTLog", so processes can share the file and the size test for rotation sees
// what the others wrote.
#include "common/log_writer.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/ascii_case.h"

LogSettings logSettings = {};

namespace {

const char* const kLevelNames[] = {"", "[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};

// The section search reads lines of up to 255 characters.
const int kHeaderLineSize = 256;

// The named mutex orders processes; threads of one process are ordered here as well, so the
// records stay whole whatever the mutex does for two threads sharing one handle.
std::mutex localLock;
std::mutex mutexOpenLock;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Set once this copy of the writer has closed its handle for good.
bool mutexClosed = false;

// Closes the log mutex when this copy of the writer goes away: at the end of the process, and
// when a library that carries its own copy (the adapter, loaded once per session) is unloaded,
// which would otherwise leave one open handle behind per load.
struct LogMutexCloser {
    LogMutexCloser() = default;
    LogMutexCloser(const LogMutexCloser&) = delete;
    LogMutexCloser& operator=(const LogMutexCloser&) = delete;
    ~LogMutexCloser() {
        // No waiting: at the end of a process a writer may have been stopped holding a lock, and
        // the end of the process closes the handle anyway. An unloaded copy has no writer left.
        std::unique_lock<std::mutex> writing(localLock, std::try_to_lock);
        std::unique_lock<std::mutex> opening(mutexOpenLock, std::try_to_lock);
        if (!writing.owns_lock() || !opening.owns_lock()) return;
        mutexClosed = true;
        if (logSettings.mutex != nullptr) CloseHandle(logSettings.mutex);
        logSettings.mutex = nullptr;
    }
};

void openLogMutex() {
    std::lock_guard<std::mutex> guard(mutexOpenLock);
    if (logSettings.mutex != nullptr || mutexClosed) return;
    HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, LOG_MUTEX_NAME);
    if (h == nullptr) h = CreateMutexA(nullptr, FALSE, LOG_MUTEX_NAME);
    logSettings.mutex = h;
    if (h != nullptr) {
        // Made after the first handle, so it is destroyed before the facilities that close it.
        static LogMutexCloser closer;
    }
}

// Whether the wait gave us the mutex (an abandoned one is ours as well).
bool lockLog() {
    if (logSettings.mutex == nullptr) openLogMutex();
    if (logSettings.mutex == nullptr) return false;
    DWORD w = WaitForSingleObject(logSettings.mutex, INFINITE);
    return w == WAIT_OBJECT_0 || w == WAIT_ABANDONED;
}

void unlockLog(bool held) {
    if (held) ReleaseMutex(logSettings.mutex);
}

unsigned long getSystemMilliseconds() {
    SYSTEMTIME st = {};
    GetSystemTime(&st);
    return st.wMilliseconds;
}

long fileLength(const char* name) {
    FILE* f = winFopen(name, "rb");
    if (f == nullptr) return -1;
    long length = -1;
    if (fseek(f, 0, SEEK_END) == 0) length = ftell(f);
    fclose(f);
    return length;
}

// Reads the wanted key from the section's lines, which start at the file's current position.
int readProfileKey(FILE* f, const char* key, char* out, int size) {
    out[0] = '\0';
    // A line buffer of one byte would read nothing and never reach the end of the file.
    int lineSize = size < 2 ? 2 : size;
    char* line = static_cast<char*>(calloc(1, static_cast<size_t>(lineSize)));
    if (line == nullptr) return PROFILE_NO_KEY;
    int status = PROFILE_NO_KEY;
    while (fgets(line, lineSize, f) != nullptr) {
        if (isProfileSection(line, nullptr)) break;
        const char* value = nullptr;
        if (!matchProfileKey(line, key, &value)) continue;
        char* cleaned = const_cast<char*>(value);
        cleanProfileValue(cleaned);
        size_t n = strlen(cleaned);
        if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
        memmove(out, cleaned, n);
        out[n] = '\0';
        if (n > 0 && out[n - 1] == '\n') out[n - 1] = '\0';
        status = PROFILE_FOUND;
        break;
    }
    free(line);
    return status;
}

}  // namespace

const char* logLevelName(int level) {
    if (level < 0 || level > 5) return "";
    return kLevelNames[level];
}

bool isProfileSection(const char* line, const char* section) {
    if (line == nullptr) return false;
    const char* start = line;
    while (isSpace(*start)) ++start;
    if (*start != '[') return false;
    const char* end = start + strlen(start);
    while (end > start && isSpace(end[-1])) --end;
    // end points behind the last non-blank character, which must be a "]" other than the "[".
    if (end - start < 2 || end[-1] != ']') return false;
    if (section == nullptr) return true;
    const char* nameStart = start + 1;
    const char* nameEnd = end - 1;
    while (nameStart < nameEnd && isSpace(*nameStart)) ++nameStart;
    while (nameEnd > nameStart && isSpace(nameEnd[-1])) --nameEnd;
    size_t length = static_cast<size_t>(nameEnd - nameStart);
    if (length == 0 || length != strlen(section)) return false;
    return equalsAsciiNoCase(nameStart, section, length);
}

bool matchProfileKey(const char* line, const char* key, const char** value) {
    if (line == nullptr || key == nullptr || key[0] == '\0') return false;
    while (isSpace(*line)) ++line;
    if (*line == ';') return false;
    const char* equals = strchr(line, '=');
    if (equals == nullptr) return false;
    size_t length = static_cast<size_t>(equals - line);
    if (length != strlen(key) || !equalsAsciiNoCase(line, key, length)) return false;
    if (value != nullptr) *value = equals + 1;
    return true;
}

void cleanProfileValue(char* value) {
    if (value == nullptr) return;
    size_t n = strlen(value);
    while (n > 0 && (value[n - 1] == '\r' || value[n - 1] == '\n')) value[--n] = '\0';
    char* first = value;
    while (isBlank(*first)) ++first;
    if (*first != '"' && *first != '\'') return;
    char* last = strrchr(first + 1, *first);
    if (last == nullptr) return;
    size_t inner = static_cast<size_t>(last - first - 1);
    memmove(value, first + 1, inner);
    value[inner] = '\0';
}

int getProfileString(const char* section, const char* key, char* out, int size, const char* iniPath) {
    if (out != nullptr && size > 0) out[0] = '\0';
    if (iniPath == nullptr || iniPath[0] == '\0') return PROFILE_NO_FILE;
    FILE* f = winFopen(iniPath, "r");
    if (f == nullptr) return PROFILE_NO_FILE;
    char line[kHeaderLineSize];
    bool found = false;
    while (section != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (isProfileSection(line, section)) {
            found = true;
            break;
        }
    }
    int status = PROFILE_NO_SECTION;
    if (found) {
        status = (key == nullptr || out == nullptr || size <= 0) ? PROFILE_NO_KEY
                                                                 : readProfileKey(f, key, out, size);
    }
    fclose(f);
    return status;
}

void composeLogFileName(const char* base, int year, int month, int day, int counter, char* out, size_t n) {
    if (out == nullptr || n == 0) return;
    out[0] = '\0';
    if (base == nullptr) return;
    const char* dot = strrchr(base, '.');
    int stemLength = static_cast<int>(dot != nullptr ? dot - base : strlen(base));
    const char* extension = dot != nullptr ? dot : "";
    int written;
    if (counter > 0)
        written = snprintf(out, n, "%.*s_%04d%02d%02d_%d%s", stemLength, base, year, month, day, counter,
                           extension);
    else
        written = snprintf(out, n, "%.*s_%04d%02d%02d%s", stemLength, base, year, month, day, extension);
    // A name that does not fit would be another file; better no file than a wrong one.
    if (written < 0 || static_cast<size_t>(written) >= n) out[0] = '\0';
}

bool makeLogFileName(char* fileName, char* stamp) {
    fileName[0] = '\0';
    stamp[0] = '\0';
    time_t now = winTime(nullptr);
    struct tm local = {};
    if (!winLocalTime(now, &local)) return false;
    unsigned long ms = getSystemMilliseconds();
    snprintf(stamp, LOG_STAMP_SIZE, "%d-%02d-%02d %02d:%02d:%02d.%03lu", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms);
    // No configured name: nothing to write to (not a file named after the date alone).
    if (logSettings.fileName[0] == '\0') return true;
    for (;;) {
        composeLogFileName(logSettings.fileName, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                           logSettings.rotationCounter, fileName, MAX_PATH);
        if (logSettings.maxSize <= 0 || fileName[0] == '\0') return true;
        long length = fileLength(fileName);
        if (length < 0 || length <= logSettings.maxSize) return true;
        ++logSettings.rotationCounter;
    }
}

int writeLogLine(int level, const char* format, ...) {
    // Checked before the lock, so records above the level cost nothing; the debug-mode watcher
    // changes the level from its own thread.
    if (level > std::atomic_ref<int>(logSettings.maxLevel).load(std::memory_order_relaxed)) return -2;
    if (format == nullptr) format = "";
    std::lock_guard<std::mutex> guard(localLock);
    bool held = lockLog();
    char fileName[MAX_PATH];
    char stamp[LOG_STAMP_SIZE];
    makeLogFileName(fileName, stamp);
    if (fileName[0] != '\0') {
        FILE* f = winFopen(fileName, "a");
        if (f != nullptr) {
            fprintf(f, "%s %s [%05lu-%05lu] ", stamp, logLevelName(level),
                    static_cast<unsigned long>(GetCurrentProcessId()) % 100000ul,
                    static_cast<unsigned long>(GetCurrentThreadId()) % 100000ul);
            va_list args;
            va_start(args, format);
            vfprintf(f, format, args);
            va_end(args);
            fputc('\n', f);
            fclose(f);
        }
    }
    unlockLog(held);
    return 0;
}

namespace {

// The folders a bare ini name is looked for in, in this order: the Windows folder, the home
// folder and \tmp of the home drive; a folder that cannot be had is left empty.
struct IniFolders {
    char windows[MAX_PATH] = {};
    char home[MAX_PATH] = {};
    char tmp[MAX_PATH] = {};
    IniFolders() {
        wchar_t wide[MAX_PATH] = {};
        UINT n = GetWindowsDirectoryW(wide, MAX_PATH);
        if (n > 0 && n < MAX_PATH)
            WideCharToMultiByte(CP_UTF8, 0, wide, -1, windows, MAX_PATH, nullptr, nullptr);
        DWORD h = ExpandEnvironmentStringsA("%HOMEDRIVE%%HOMEPATH%\\", home, MAX_PATH);
        if (h == 0 || h > MAX_PATH) home[0] = '\0';
        DWORD t = ExpandEnvironmentStringsA("%HOMEDRIVE%\\tmp\\", tmp, MAX_PATH);
        if (t == 0 || t > MAX_PATH) tmp[0] = '\0';
    }
};

// Finds the ini by its "Log File" key: a bare name in the folders above, where the first that
// has the key wins; a path as it stands. candidate is left at the path looked at last; the result
// is the status of that lookup.
int findLogIni(const char* section, const char* path, char* candidate, size_t candidateSize, char* fileName,
               int fileNameSize) {
    auto lookUp = [&] { return getProfileString(section, "Log File", fileName, fileNameSize, candidate); };
    if (strchr(path, '/') != nullptr || strchr(path, '\\') != nullptr || path[0] == '\0') {
        snprintf(candidate, candidateSize, "%s", path);
        return lookUp();
    }
    IniFolders folders;
    // The Windows folder comes without a trailing backslash, the other two with one.
    snprintf(candidate, candidateSize, "%s\\%s", folders.windows, path);
    int status = lookUp();
    for (const char* folder : {folders.home, folders.tmp}) {
        if (status == PROFILE_FOUND) break;
        snprintf(candidate, candidateSize, "%s%s", folder, path);
        status = lookUp();
    }
    return status;
}

}  // namespace

int initLogFromIni(const char* section, const char* path) {
    {
        std::lock_guard<std::mutex> guard(localLock);
        if (logSettings.enabled == 1) return -1;
    }
    if (path == nullptr || path[0] == '\0') path = "";
    char candidate[MAX_PATH] = {};
    char fileName[128] = {};
    int fileStatus = findLogIni(section, path, candidate, sizeof candidate, fileName, sizeof fileName);

    char maxSize[64] = {};
    int sizeLimit =
        getProfileString(section, "Log MaxSize", maxSize, sizeof maxSize, candidate) == PROFILE_FOUND
            ? atoi(maxSize)
            : 0;
    char level[16] = {};
    int levelStatus = getProfileString(section, "Log Level", level, sizeof level, candidate);
    int maxLevel = levelStatus == PROFILE_FOUND ? atoi(level) : 0;

    {
        // Other threads may be writing records meanwhile (the debug-mode watcher turns logging on).
        std::lock_guard<std::mutex> guard(localLock);
        snprintf(logSettings.fileName, sizeof logSettings.fileName, "%s",
                 fileStatus == PROFILE_FOUND ? fileName : LOG_DEFAULT_FILE);
        logSettings.maxSize = sizeLimit;
        std::atomic_ref<int>(logSettings.maxLevel).store(maxLevel);
        if (levelStatus == PROFILE_FOUND) logSettings.enabled = 1;
    }
    openLogMutex();
    if (levelStatus == PROFILE_FOUND) writeLogLine(maxLevel, "Log Enable '%s'", candidate);
    return levelStatus;
}

int setLogFileLevel(const char* fileName, int level) {
    {
        std::lock_guard<std::mutex> guard(localLock);
        if (level == 0) {
            logSettings.enabled = 0;
            std::atomic_ref<int>(logSettings.maxLevel).store(0);
        } else if (fileName != nullptr) {
            snprintf(logSettings.fileName, sizeof logSettings.fileName, "%s", fileName);
            std::atomic_ref<int>(logSettings.maxLevel).store(level);
            logSettings.enabled = 1;
        }
    }
    openLogMutex();
    return 0;
}
