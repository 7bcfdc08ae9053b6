// Windows paths on the host, the machine's folders, and the file calls: drive C: is <root>/c, Z: is
// the host's "/", names are found ignoring case and keep their case.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/posix/win_internal.h"

namespace platform {
namespace {

// HIDDEN, SYSTEM and ARCHIVE have no host bits; they travel with the file as an extended attribute.
constexpr const char* kAttrName = "user.kvlb.attributes";
constexpr DWORD kStoredBits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

bool isSep(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::vector<std::wstring> splitParts(const std::wstring& p) {
    std::vector<std::wstring> parts;
    std::wstring cur;
    for (wchar_t c : p) {
        if (isSep(c)) {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::string driveBase(wchar_t letter) {
    letter = asciiLower(letter);
    if (letter == L'z') return "";
    return rootDir() + "/" + (char)letter;
}

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// The entry of dir whose name equals name ignoring case, or name itself when there is none.
std::string findEntry(const std::string& dir, const std::string& name) {
    std::string exact = dir + "/" + name;
    if (exists(exact)) return name;
    DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return name;
    std::wstring wanted = fromUtf8(name);
    std::string found = name;
    while (dirent* e = readdir(d)) {
        if (iequals(fromUtf8(e->d_name), wanted)) {
            found = e->d_name;
            break;
        }
    }
    closedir(d);
    return found;
}

std::string cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}

void setErrorFromErrno(int e, bool parentMissing = false) {
    switch (e) {
        case ENOENT:
            SetLastError(parentMissing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
            break;
        case ENOTDIR:
            SetLastError(ERROR_PATH_NOT_FOUND);
            break;
        case EEXIST:
            SetLastError(ERROR_ALREADY_EXISTS);
            break;
        case ENOTEMPTY:
            SetLastError(ERROR_DIR_NOT_EMPTY);
            break;
        case ENOMEM:
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            break;
        case ENAMETOOLONG:
            SetLastError(ERROR_INVALID_NAME);
            break;
        case EBUSY:
            SetLastError(ERROR_SHARING_VIOLATION);
            break;
        default:
            SetLastError(ERROR_ACCESS_DENIED);
            break;
    }
}

bool parentExists(const std::string& host) {
    size_t slash = host.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    struct stat st;
    return stat(host.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void failFromErrno(const std::string& host) {
    int e = errno;
    setErrorFromErrno(e, e == ENOENT && !parentExists(host));
}

DWORD storedBits(const std::string& host) {
    uint32_t v = 0;
    ssize_t n = getxattr(host.c_str(), kAttrName, &v, sizeof v);
    return n == (ssize_t)sizeof v ? (v & kStoredBits) : (DWORD)-1;
}

DWORD attributesOf(const std::string& host, const struct stat& st) {
    DWORD a = 0;
    if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
    if (!S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
    DWORD stored = storedBits(host);
    if (stored != (DWORD)-1)
        a |= stored;
    else if (!S_ISDIR(st.st_mode))
        a |= FILE_ATTRIBUTE_ARCHIVE;  // as a newly written file has it
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

FILETIME fileTime(const struct timespec& ts) {
    // 100 ns units since 1601.
    uint64_t t = ((uint64_t)ts.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)ts.tv_nsec / 100;
    return FILETIME{(DWORD)t, (DWORD)(t >> 32)};
}

std::string hostOf(LPCWSTR path) {
    SetLastError(ERROR_SUCCESS);
    if (!path || !*path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return "";
    }
    return hostPath(path);
}

}  // namespace

bool iequals(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && equalsAsciiNoCase(a.data(), b.data(), a.size());
}

bool wildcardMatch(const std::wstring& pattern, const std::wstring& name) {
    size_t p = 0, n = 0, star = std::wstring::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || asciiLower(pattern[p]) == asciiLower(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            mark = n;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    // "*.*" also takes names without a dot, as Windows does.
    if (p + 1 == pattern.size() && pattern[p] == L'.' && p > 0 && pattern[p - 1] == L'*') return true;
    return p == pattern.size();
}

std::string hostPath(const std::wstring& winPathIn) {
    std::wstring p = winPathIn;
    if (p.rfind(L"\\\\?\\", 0) == 0) p = p.substr(4);
    if (p.size() >= 2 && isSep(p[0]) && isSep(p[1])) return "";  // no network shares here
    std::vector<std::wstring> parts = splitParts(p);
    if (!parts.empty() && iequals(parts.back(), L"NUL")) return "/dev/null";
    std::string base;
    std::vector<std::wstring> rel;
    if (p.size() >= 2 && p[1] == L':' && std::iswalpha(p[0])) {
        base = driveBase(p[0]);
        rel = splitParts(p.substr(2));
    } else if (!p.empty() && isSep(p[0])) {
        // Rooted on the drive of the current folder.
        std::wstring here = winPath(cwd());
        base = driveBase(here.empty() ? L'z' : here[0]);
        rel = parts;
    } else {
        // Relative: resolved from the current folder's Windows form.
        std::wstring here = winPath(cwd());
        if (here.size() < 2) return "";
        base = driveBase(here[0]);
        rel = splitParts(here.substr(2));
        rel.insert(rel.end(), parts.begin(), parts.end());
    }
    std::vector<std::wstring> clean;
    for (auto part : rel) {
        if (part.find_first_of(L"<>:\"|?*") != std::wstring::npos ||
            std::any_of(part.begin(), part.end(), [](wchar_t c) { return c < 0x20; })) {
            SetLastError(ERROR_INVALID_NAME);
            return "";
        }
        // Windows drops trailing dots and blanks of a name.
        if (part != L"." && part != L"..") {
            while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
            if (part.empty()) continue;
        }
        if (part == L".") continue;
        if (part == L"..") {
            if (!clean.empty()) clean.pop_back();
            continue;
        }
        clean.push_back(part);
    }
    std::string host = base;
    bool present = true;
    for (auto& part : clean) {
        std::string name = toUtf8(part);
        if (present) {
            name = findEntry(host, name);
            present = exists(host + "/" + name);
        }
        host += "/" + name;
    }
    return host.empty() ? "/" : host;
}

std::wstring winPath(const std::string& hostIn) {
    std::string host = hostIn;
    if (host.empty() || host[0] != '/') host = cwd() + "/" + host;
    std::string root = rootDir();
    if (host.size() > root.size() + 2 && host.compare(0, root.size(), root) == 0 &&
        host[root.size()] == '/' && (host.size() == root.size() + 2 || host[root.size() + 2] == '/') &&
        std::isalpha((unsigned char)host[root.size() + 1]) && host[root.size() + 1] != 'z') {
        std::wstring out;
        out += asciiUpper((wchar_t)host[root.size() + 1]);
        out += L":";
        std::wstring rest = fromUtf8(host.substr(root.size() + 2));
        for (auto& c : rest)
            if (c == L'/') c = L'\\';
        return rest.empty() ? out + L"\\" : out + rest;
    }
    if (host == root + "/c") return L"C:\\";
    std::wstring rest = fromUtf8(host);
    for (auto& c : rest)
        if (c == L'/') c = L'\\';
    return L"Z:" + rest;
}

}  // namespace platform

using namespace platform;

namespace {

DWORD putPath(const std::wstring& path, LPWSTR buffer, DWORD size) {
    if (!buffer || size <= path.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return (DWORD)path.size() + 1;
    }
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return (DWORD)path.size();
}

void makeHostDirs(const std::string& host) {
    for (size_t pos = host.find('/', 1);; pos = host.find('/', pos + 1)) {
        mkdir(host.substr(0, pos).c_str(), 0755);
        if (pos == std::string::npos) break;
    }
}

std::wstring userFolder(const wchar_t* rel) {
    std::wstring p = L"C:\\Users\\" + userName();
    if (rel && *rel) p += std::wstring(L"\\") + rel;
    return p;
}

}  // namespace

HRESULT SHGetFolderPathW(HANDLE, int csidl, HANDLE, DWORD, LPWSTR path) {
    if (!path) return E_INVALIDARG;
    std::wstring p;
    switch (csidl & 0xFF) {
        case CSIDL_COMMON_APPDATA:
            p = L"C:\\ProgramData";
            break;
        case CSIDL_APPDATA:
            p = userFolder(L"AppData\\Roaming");
            break;
        case CSIDL_LOCAL_APPDATA:
            p = userFolder(L"AppData\\Local");
            break;
        case CSIDL_DESKTOP:
        case CSIDL_DESKTOPDIRECTORY:
            p = userFolder(L"Desktop");
            break;
        case CSIDL_PROFILE:
            p = userFolder(nullptr);
            break;
        default:
            path[0] = 0;
            return E_INVALIDARG;
    }
    makeHostDirs(hostPath(p));
    if (p.size() >= MAX_PATH) return E_FAIL;
    std::wmemcpy(path, p.c_str(), p.size() + 1);
    return S_OK;
}

UINT GetWindowsDirectoryW(LPWSTR buffer, UINT size) {
    return putPath(L"C:\\Windows", buffer, size);
}
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    return putPath(L"C:\\Windows\\System32", buffer, size);
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
    std::wstring p = userFolder(L"AppData\\Local\\Temp\\");
    makeHostDirs(hostPath(p));
    return putPath(p, buffer, size);
}

bool winPathToHost(LPCWSTR path, char* out, size_t outSize) {
    std::string host = hostOf(path);
    if (host.empty() || !out || host.size() >= outSize) return false;
    std::memcpy(out, host.c_str(), host.size() + 1);
    return true;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    std::string host = hostOf(path);
    if (host.empty()) {
        if (GetLastError() != ERROR_INVALID_NAME) SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (mkdir(host.c_str(), 0755) != 0) {
        failFromErrno(host);
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    std::string host = hostOf(path);
    if (host.empty()) {
        if (GetLastError() != ERROR_INVALID_NAME) SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (rmdir(host.c_str()) != 0) {
        if (errno == ENOTDIR) {
            SetLastError(ERROR_DIRECTORY_NAME_INVALID);
            return FALSE;
        }
        failFromErrno(host);
        return FALSE;
    }
    return TRUE;
}

namespace {

// Copies what is left of in to out; false on a read or write error.
bool copyBytes(int in, int out) {
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, (size_t)(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    return ok;
}

}  // namespace

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
    std::string from = hostOf(existing), to = hostOf(target);
    if (from.empty() || to.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        failFromErrno(from);
        return FALSE;
    }
    struct stat sst;
    if (fstat(in, &sst) != 0 || S_ISDIR(sst.st_mode)) {
        close(in);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat tst;
    if (stat(to.c_str(), &tst) == 0) {
        // Copying a file onto itself would truncate it before it is read.
        if (tst.st_dev == sst.st_dev && tst.st_ino == sst.st_ino) {
            close(in);
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (failIfExists) {
            close(in);
            SetLastError(ERROR_FILE_EXISTS);
            return FALSE;
        }
        if (S_ISDIR(tst.st_mode) || !(tst.st_mode & S_IWUSR)) {
            close(in);
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    int out = open(to.c_str(), flags, sst.st_mode & 0777);
    if (out < 0) {
        int e = errno;
        close(in);
        if (e == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);
            return FALSE;
        }
        errno = e;
        failFromErrno(to);
        return FALSE;
    }
    bool ok = copyBytes(in, out);
    uint32_t bits = 0;
    if (fgetxattr(in, kAttrName, &bits, sizeof bits) == (ssize_t)sizeof bits)
        fsetxattr(out, kAttrName, &bits, sizeof bits, 0);
    fchmod(out, sst.st_mode & 0777);
    close(in);
    if (close(out) != 0) ok = false;
    if (!ok) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    std::string host = hostOf(path);
    if (host.empty()) {
        if (GetLastError() != ERROR_INVALID_NAME) SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) {
        failFromErrno(host);
        return FALSE;
    }
    // Windows refuses to delete folders and read-only files through this call.
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(host.c_str()) != 0) {
        failFromErrno(host);
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileW(LPCWSTR existing, LPCWSTR target) {
    std::string from = hostOf(existing), to = hostOf(target);
    if (from.empty() || to.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) {
        failFromErrno(from);
        return FALSE;
    }
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        failFromErrno(to);
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    std::string host = hostOf(path);
    if (host.empty()) {
        if (GetLastError() != ERROR_INVALID_NAME) SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        failFromErrno(host);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributesOf(host, st);
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    std::string host = hostOf(path);
    if (host.empty()) {
        if (GetLastError() != ERROR_INVALID_NAME) SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        failFromErrno(host);
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        mode_t mode = st.st_mode & 07777;
        mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : (mode | S_IWUSR);
        if (chmod(host.c_str(), mode) != 0) {
            failFromErrno(host);
            return FALSE;
        }
    }
    uint32_t bits = attributes & kStoredBits;
    if (setxattr(host.c_str(), kAttrName, &bits, sizeof bits, 0) != 0) {
        failFromErrno(host);
        return FALSE;
    }
    return TRUE;
}

// ---- FindFirstFile ------------------------------------------------------------------------

namespace {

struct FindObject : KObject {
    FindObject() : KObject(Kind::Find) {}
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

void fillFind(const std::string& dir, const std::string& name, WIN32_FIND_DATAW& d) {
    std::memset(&d, 0, sizeof d);
    std::string full = dir + "/" + name;
    struct stat st;
    if (stat(full.c_str(), &st) == 0) {
        d.dwFileAttributes = attributesOf(full, st);
        d.ftCreationTime = fileTime(st.st_ctim);
        d.ftLastAccessTime = fileTime(st.st_atim);
        d.ftLastWriteTime = fileTime(st.st_mtim);
        uint64_t size = S_ISDIR(st.st_mode) ? 0 : (uint64_t)st.st_size;
        d.nFileSizeHigh = (DWORD)(size >> 32);
        d.nFileSizeLow = (DWORD)size;
    } else {
        d.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    std::wstring w = fromUtf8(name);
    w.resize(std::min<size_t>(w.size(), MAX_PATH - 1));
    std::wmemcpy(d.cFileName, w.c_str(), w.size() + 1);
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (!pattern || !*pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring pat = pattern;
    size_t cut = pat.find_last_of(L"\\/");
    std::wstring dirPart, namePart;
    if (cut == std::wstring::npos) {
        if (pat.size() >= 2 && pat[1] == L':') {
            dirPart = pat.substr(0, 2);
            namePart = pat.substr(2);
        } else {
            dirPart = L".";
            namePart = pat;
        }
    } else {
        dirPart = pat.substr(0, cut + 1);
        namePart = pat.substr(cut + 1);
    }
    if (namePart.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string dir = hostPath(dirPart);
    struct stat st;
    if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DIR* d = opendir(dir.c_str());
    if (!d) {
        failFromErrno(dir);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (wildcardMatch(namePart, fromUtf8(e->d_name))) names.push_back(e->d_name);
    }
    closedir(d);
    if (names.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return compareAsciiNoCase(fromUtf8(a).c_str(), fromUtf8(b).c_str()) < 0;
    });
    auto* f = new FindObject;
    for (auto& n : names) {
        WIN32_FIND_DATAW e;
        fillFind(dir, n, e);
        f->entries.push_back(e);
    }
    *data = f->entries[0];
    f->next = 1;
    return addHandle(f);
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
    auto* f = static_cast<FindObject*>(lookHandle(find, Kind::Find));
    if (!f || !data) {
        if (f) SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (f->next >= f->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *data = f->entries[f->next++];
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    if (!lookHandle(find, Kind::Find)) return FALSE;
    return dropHandle(find) ? TRUE : FALSE;
}

// ---- C runtime files ----------------------------------------------------------------------

namespace {

// Text mode as the Windows C runtime does it: CR LF on disk, "\n" in the program.
struct TextFile {
    int fd;
    int pending = -1;  // a byte read ahead after a CR
};

ssize_t readByte(TextFile* t, char* c) {
    if (t->pending >= 0) {
        *c = (char)t->pending;
        t->pending = -1;
        return 1;
    }
    for (;;) {
        ssize_t n = read(t->fd, c, 1);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t textRead(void* cookie, char* buf, size_t size) {
    auto* t = static_cast<TextFile*>(cookie);
    size_t out = 0;
    // Bulk reads, then CR LF pairs folded; a CR at the end of a chunk looks one byte ahead.
    std::vector<char> raw(size);
    while (out == 0 && size > 0) {
        size_t have = 0;
        if (t->pending >= 0) {
            raw[have++] = (char)t->pending;
            t->pending = -1;
        }
        ssize_t n;
        do {
            n = read(t->fd, raw.data() + have, size - have);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return have ? 0 : -1;
        have += (size_t)n;
        if (have == 0) return 0;
        for (size_t i = 0; i < have; ++i) {
            char c = raw[i];
            if (c == '\r') {
                char next;
                if (i + 1 < have) {
                    next = raw[i + 1];
                    if (next == '\n') {
                        buf[out++] = '\n';
                        ++i;
                        continue;
                    }
                } else if (readByte(t, &next) == 1) {
                    if (next == '\n') {
                        buf[out++] = '\n';
                        continue;
                    }
                    t->pending = (unsigned char)next;
                }
            }
            buf[out++] = c;
        }
        if (n == 0) break;
    }
    return (ssize_t)out;
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

ssize_t textWrite(void* cookie, const char* buf, size_t size) {
    auto* t = static_cast<TextFile*>(cookie);
    std::string out;
    out.reserve(size + size / 8 + 2);
    for (size_t i = 0; i < size; ++i) {
        if (buf[i] == '\n') out += '\r';
        out += buf[i];
    }
    return writeAll(t->fd, out.data(), out.size()) ? (ssize_t)size : -1;
}

int textSeek(void* cookie, off64_t* offset, int whence) {
    auto* t = static_cast<TextFile*>(cookie);
    off64_t off = *offset;
    if (whence == SEEK_CUR && t->pending >= 0) off -= 1;
    off64_t r = lseek64(t->fd, off, whence);
    if (r < 0) return -1;
    t->pending = -1;
    *offset = r;
    return 0;
}

int textClose(void* cookie) {
    auto* t = static_cast<TextFile*>(cookie);
    int r = close(t->fd);
    delete t;
    return r;
}

FILE* openWin(const std::string& host, const std::string& modeIn) {
    std::string mode = modeIn.substr(0, modeIn.find(','));
    if (mode.empty() || host.empty()) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool plus = mode.find('+') != std::string::npos;
    bool binary = mode.find('b') != std::string::npos;
    bool excl = mode.find('x') != std::string::npos;
    int flags = O_CLOEXEC;
    switch (mode[0]) {
        case 'r':
            flags |= plus ? O_RDWR : O_RDONLY;
            break;
        case 'w':
            flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
            break;
        case 'a':
            flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
            break;
        default:
            errno = EINVAL;
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
    if (excl) flags |= O_EXCL;
    int fd = open(host.c_str(), flags, 0644);
    if (fd < 0) {
        failFromErrno(host);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::string cmode;
    cmode += mode[0];
    if (plus) cmode += '+';
    if (binary) {
        FILE* f = fdopen(fd, cmode.c_str());
        if (!f) close(fd);
        return f;
    }
    auto* t = new TextFile{fd};
    cookie_io_functions_t io{textRead, textWrite, textSeek, textClose};
    FILE* f = fopencookie(t, cmode.c_str(), io);
    if (!f) {
        close(fd);
        delete t;
    }
    return f;
}

}  // namespace

FILE* _wfopen(LPCWSTR path, LPCWSTR mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return openWin(hostOf(path), toUtf8(mode));
}

FILE* winFopen(const char* path, const char* mode) {
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    return openWin(hostOf(fromUtf8(path).c_str()), mode);
}

int _wremove(LPCWSTR path) {
    if (DeleteFileW(path)) return 0;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return -1;
}
