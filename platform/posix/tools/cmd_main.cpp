// The machine's command interpreter and the few console tools the system runs through it: one
// program, placed in the root's system folder under each tool's name (cmd.exe, taskkill.exe,
// NETSTAT.EXE, find.exe, timeout.exe, PING.EXE) and acting by the name it was started as.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/root.h"
#include "platform/win_base.h"
#include "platform/posix/win_internal.h"

using platform::fromUtf8;
using platform::iequals;
using platform::toUtf8;

namespace {

struct Io {
    const std::string* input = nullptr;  // NULL: the real standard input
    std::string out;
    std::string err;
};

std::wstring lower(std::wstring s) {
    for (auto& c : s) c = asciiLower(c);
    return s;
}

std::string readStdin() {
    std::stringstream ss;
    ss << std::cin.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return out;
}

bool isSwitch(const std::wstring& a) {
    return !a.empty() && (a[0] == L'/' || a[0] == L'-');
}

// ---- netstat ------------------------------------------------------------------------------

const char* tcpState(unsigned s) {
    switch (s) {
        case 0x01:
            return "ESTABLISHED";
        case 0x02:
            return "SYN_SENT";
        case 0x03:
            return "SYN_RECEIVED";
        case 0x04:
            return "FIN_WAIT_1";
        case 0x05:
            return "FIN_WAIT_2";
        case 0x06:
            return "TIME_WAIT";
        case 0x07:
            return "CLOSED";
        case 0x08:
            return "CLOSE_WAIT";
        case 0x09:
            return "LAST_ACK";
        case 0x0A:
            return "LISTENING";
        case 0x0B:
            return "CLOSING";
        default:
            return "UNKNOWN";
    }
}

// "0100007F:DB4E" (the address words as the kernel stores them) -> "127.0.0.1:56142".
std::string endpoint(const std::string& hex, bool v6, bool foreignListen) {
    size_t colon = hex.find(':');
    if (colon == std::string::npos) return "";
    std::string addr = hex.substr(0, colon);
    unsigned port = (unsigned)std::strtoul(hex.substr(colon + 1).c_str(), nullptr, 16);
    char text[INET6_ADDRSTRLEN] = "";
    if (!v6) {
        in_addr a;
        a.s_addr = (uint32_t)std::strtoul(addr.c_str(), nullptr, 16);
        inet_ntop(AF_INET, &a, text, sizeof text);
    } else {
        in6_addr a;
        for (int w = 0; w < 4 && addr.size() >= 32; ++w) {
            uint32_t v = (uint32_t)std::strtoul(addr.substr((size_t)w * 8, 8).c_str(), nullptr, 16);
            std::memcpy(a.s6_addr + w * 4, &v, 4);
        }
        inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    std::string host = v6 ? std::string("[") + text + "]" : std::string(text);
    return host + ":" + (foreignListen && port == 0 ? "0" : std::to_string(port));
}

int netstat(const std::vector<std::wstring>& args, Io& io) {
    bool all = false;
    for (size_t i = 1; i < args.size(); ++i) {
        std::wstring a = lower(args[i]);
        if (!isSwitch(a)) {
            io.err += "Invalid argument\r\n";
            return 1;
        }
        if (a.find(L'a') != std::wstring::npos) all = true;
    }
    io.out +=
        "\r\nActive Connections\r\n\r\n  Proto  Local Address          Foreign Address        State\r\n";
    for (bool v6 : {false, true}) {
        std::ifstream in(v6 ? "/proc/net/tcp6" : "/proc/net/tcp");
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            std::string slot, local, remote, st;
            if (!(ls >> slot >> local >> remote >> st)) continue;
            unsigned state = (unsigned)std::strtoul(st.c_str(), nullptr, 16);
            if (state == 0x0A && !all) continue;
            char row[160];
            std::snprintf(row, sizeof row, "  %-7s%-23s%-23s%s\r\n", "TCP",
                          endpoint(local, v6, false).c_str(), endpoint(remote, v6, true).c_str(),
                          tcpState(state));
            io.out += row;
        }
    }
    return 0;
}

// ---- find ---------------------------------------------------------------------------------

int find(const std::vector<std::wstring>& args, Io& io) {
    bool ignoreCase = false, invert = false, count = false, number = false, haveText = false;
    std::string text;
    std::vector<std::wstring> files;
    for (size_t i = 1; i < args.size(); ++i) {
        std::wstring a = lower(args[i]);
        if (a == L"/i")
            ignoreCase = true;
        else if (a == L"/v")
            invert = true;
        else if (a == L"/c")
            count = true;
        else if (a == L"/n")
            number = true;
        else if (!a.empty() && a[0] == L'/') {
            io.err += "FIND: Invalid switch\r\n";
            return 2;
        } else if (!haveText) {
            text = toUtf8(args[i]);
            haveText = true;
        } else
            files.push_back(args[i]);
    }
    if (!haveText) {
        io.err += "FIND: Parameter format not correct\r\n";
        return 2;
    }
    auto matches = [&](std::string line) {
        std::string t = text;
        if (ignoreCase) {
            for (auto& c : line) c = asciiLower(c);
            for (auto& c : t) c = asciiLower(c);
        }
        return (line.find(t) != std::string::npos) != invert;
    };
    bool any = false;
    auto scan = [&](const std::string& content, const std::string* title) {
        size_t n = 0, k = 0;
        std::string shown;
        for (const auto& l : lines(content)) {
            ++k;
            if (!matches(l)) continue;
            ++n;
            any = true;
            if (!count) shown += (number ? "[" + std::to_string(k) + "]" : std::string()) + l + "\r\n";
        }
        if (title)
            io.out += "\r\n---------- " + *title + (count ? ": " + std::to_string(n) + "\r\n" : "\r\n");
        else if (count)
            io.out += std::to_string(n) + "\r\n";
        io.out += shown;
    };
    if (files.empty()) {
        std::string input = io.input ? *io.input : readStdin();
        scan(input, nullptr);
    }
    int rc = 0;
    for (auto& f : files) {
        char host[4096];
        std::string name = toUtf8(f);
        std::ifstream in;
        if (winPathToHost(f.c_str(), host, sizeof host)) in.open(host, std::ios::binary);
        if (!in) {
            io.err += "File not found - " + name + "\r\n";
            rc = 1;
            continue;
        }
        std::stringstream ss;
        ss << in.rdbuf();
        std::string upper = name;
        for (auto& c : upper) c = asciiUpper(c);
        scan(ss.str(), &upper);
    }
    if (rc) return rc;
    return any ? 0 : 1;
}

// ---- del, rmdir, break --------------------------------------------------------------------

// /A alone takes every file; /A:H only hidden ones, /A:-H only files that are not. False for a
// letter the switch does not know.
bool attributeSwitch(const std::wstring& a, DWORD& want, DWORD& refuse) {
    refuse = 0;
    std::wstring spec = a.substr(2);
    if (!spec.empty() && spec[0] == L':') spec = spec.substr(1);
    bool negate = false;
    for (wchar_t c : spec) {
        DWORD bit = c == L'h'   ? FILE_ATTRIBUTE_HIDDEN
                    : c == L's' ? FILE_ATTRIBUTE_SYSTEM
                    : c == L'r' ? FILE_ATTRIBUTE_READONLY
                    : c == L'a' ? FILE_ATTRIBUTE_ARCHIVE
                                : 0;
        if (c == L'-') {
            negate = true;
            continue;
        }
        if (!bit) return false;
        if (negate)
            refuse |= bit;
        else
            want |= bit;
        negate = false;
    }
    return true;
}

// Deletes the files one name of del matches (a folder's files when it names a folder) whose
// attributes the switches take.
void deleteMatching(const std::wstring& name, DWORD want, DWORD refuse, bool force, Io& io) {
    std::wstring pattern = name;
    DWORD at = GetFileAttributesW(name.c_str());
    if (at != INVALID_FILE_ATTRIBUTES && (at & FILE_ATTRIBUTE_DIRECTORY)) pattern = name + L"\\*";
    std::wstring dir = pattern.substr(
        0, pattern.find_last_of(L"\\/") == std::wstring::npos ? 0 : pattern.find_last_of(L"\\/") + 1);
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
    bool found = false;
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            DWORD a = fd.dwFileAttributes;
            if ((a & want) != want || (a & refuse)) continue;
            found = true;
            std::wstring full = dir + fd.cFileName;
            if ((a & FILE_ATTRIBUTE_READONLY) && force)
                SetFileAttributesW(full.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
            if (!DeleteFileW(full.c_str())) io.err += toUtf8(full) + "\r\nAccess is denied.\r\n";
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    if (!found) io.err += "Could Not Find " + toUtf8(pattern) + "\r\n";
}

int del(const std::vector<std::wstring>& args, Io& io) {
    bool force = false;
    bool attrFilter = false;
    DWORD want = 0, refuse = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    std::vector<std::wstring> names;
    for (size_t i = 1; i < args.size(); ++i) {
        std::wstring a = lower(args[i]);
        if (a == L"/q" || a == L"/s" || a == L"/p") continue;
        if (a == L"/f") {
            force = true;
            continue;
        }
        if (a.rfind(L"/a", 0) == 0) {
            attrFilter = true;
            if (!attributeSwitch(a, want, refuse)) {
                io.err += "Invalid switch - \"" + toUtf8(args[i]) + "\".\r\n";
                return 1;
            }
            continue;
        }
        if (!a.empty() && a[0] == L'/') {
            io.err += "Invalid switch - \"" + toUtf8(args[i]) + "\".\r\n";
            return 1;
        }
        names.push_back(args[i]);
    }
    (void)attrFilter;
    if (names.empty()) {
        io.err += "The syntax of the command is incorrect.\r\n";
        return 1;
    }
    for (auto& name : names) deleteMatching(name, want, refuse, force, io);
    return 0;  // as on Windows, del reports trouble in words only
}

int rmdir(const std::vector<std::wstring>& args, Io& io) {
    bool tree = false;
    std::vector<std::wstring> names;
    for (size_t i = 1; i < args.size(); ++i) {
        std::wstring a = lower(args[i]);
        if (a == L"/s")
            tree = true;
        else if (a == L"/q")
            continue;
        else if (!a.empty() && a[0] == L'/') {
            io.err += "Invalid switch - " + toUtf8(args[i]) + "\r\n";
            return 1;
        } else
            names.push_back(args[i]);
    }
    if (names.empty()) {
        io.err += "The syntax of the command is incorrect.\r\n";
        return 1;
    }
    int rc = 0;
    for (auto& name : names) {
        DWORD at = GetFileAttributesW(name.c_str());
        if (at == INVALID_FILE_ATTRIBUTES) {
            io.err += "The system cannot find the file specified.\r\n";
            rc = 2;
            continue;
        }
        if (!(at & FILE_ATTRIBUTE_DIRECTORY)) {
            io.err += "The directory name is invalid.\r\n";
            rc = 267;
            continue;
        }
        if (tree) {
            char host[4096];
            std::error_code ec;
            if (!winPathToHost(name.c_str(), host, sizeof host) ||
                std::filesystem::remove_all(host, ec) == (uintmax_t)-1 || ec) {
                io.err += "Access is denied.\r\n";
                rc = 5;
            }
        } else if (!RemoveDirectoryW(name.c_str())) {
            io.err += GetLastError() == ERROR_DIR_NOT_EMPTY ? "The directory is not empty.\r\n"
                                                            : "Access is denied.\r\n";
            rc = (int)GetLastError();
        }
    }
    return rc;
}

// ---- taskkill -----------------------------------------------------------------------------

int taskkill(const std::vector<std::wstring>& args, Io& io) {
    bool force = false;
    std::vector<std::wstring> images;
    std::vector<DWORD> pids;
    for (size_t i = 1; i < args.size(); ++i) {
        std::wstring a = lower(args[i]);
        if (a == L"/f")
            force = true;
        else if (a == L"/t")
            continue;
        else if (a == L"/im" && i + 1 < args.size())
            images.push_back(args[++i]);
        else if (a == L"/pid" && i + 1 < args.size())
            pids.push_back((DWORD)std::wcstoul(args[++i].c_str(), nullptr, 10));
        else {
            io.err += "ERROR: Invalid argument/option - '" + toUtf8(args[i]) +
                      "'.\r\nType \"TASKKILL /?\" for usage.\r\n";
            return 1;
        }
    }
    if (images.empty() && pids.empty()) {
        io.err += "ERROR: Invalid syntax. Neither /FI nor /PID nor /IM were specified.\r\n";
        return 1;
    }
    DWORD self = GetCurrentProcessId();
    std::vector<platform::ProcessEntry> list = platform::listProcesses();
    bool killedAll = true, killedAny = false;
    auto end = [&](const platform::ProcessEntry& e) {
        if (!force) {
            // The message stays one text, as taskkill prints it.
            // clang-format off
            io.err += "ERROR: The process \"" + toUtf8(e.image) + "\" with PID " + std::to_string(e.pid) +
                      " could not be terminated.\r\nReason: This process can only be terminated forcefully (with /F option).\r\n";
            // clang-format on
            killedAll = false;
            return;
        }
        HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, e.pid);
        if (h && TerminateProcess(h, 1)) {
            io.out += "SUCCESS: The process \"" + toUtf8(e.image) + "\" with PID " + std::to_string(e.pid) +
                      " has been terminated.\r\n";
            killedAny = true;
        } else {
            io.err += "ERROR: The process \"" + toUtf8(e.image) + "\" with PID " + std::to_string(e.pid) +
                      " could not be terminated.\r\nReason: Access is denied.\r\n";
            killedAll = false;
        }
        if (h) CloseHandle(h);
    };
    bool missing = false;
    for (auto& image : images) {
        bool any = false;
        for (auto& e : list) {
            if (e.pid == self || !platform::wildcardMatch(image, e.image)) continue;
            any = true;
            end(e);
        }
        if (!any) {
            io.err += "ERROR: The process \"" + toUtf8(image) + "\" not found.\r\n";
            missing = true;
        }
    }
    for (DWORD pid : pids) {
        auto it = std::find_if(list.begin(), list.end(),
                               [&](const platform::ProcessEntry& e) { return e.pid == pid; });
        if (it == list.end() || pid == self) {
            io.err += "ERROR: The process \"" + std::to_string(pid) + "\" not found.\r\n";
            missing = true;
            continue;
        }
        end(*it);
    }
    if (killedAny && killedAll && !missing) return 0;
    if (killedAny) return 255;  // some, not all
    return missing ? 128 : 1;
}

// ---- pauses -------------------------------------------------------------------------------

void pauseSeconds(long seconds) {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

int timeoutTool(const std::vector<std::wstring>& args, Io& io) {
    long seconds = -2;
    for (size_t i = 1; i < args.size(); ++i) {
        std::wstring a = lower(args[i]);
        if (a == L"/nobreak") continue;
        if (a == L"/t" && i + 1 < args.size()) {
            seconds = std::wcstol(args[++i].c_str(), nullptr, 10);
            continue;
        }
        if (!isSwitch(a) && seconds == -2) {
            seconds = std::wcstol(args[i].c_str(), nullptr, 10);
            continue;
        }
        io.err += "ERROR: Invalid syntax. Default option is not allowed more than '1' time(s).\r\n";
        return 1;
    }
    if (seconds < -1 || seconds > 99999) {
        io.err += "ERROR: Invalid value for timeout (/T) specified. Valid range is -1 to 99999.\r\n";
        return 1;
    }
    io.out += "\r\nWaiting for " + std::to_string(seconds < 0 ? 0 : seconds) +
              " seconds, press a key to continue ...\r\n";
    pauseSeconds(seconds);
    return 0;
}

int ping(const std::vector<std::wstring>& args, Io& io) {
    long count = 4;
    std::wstring host;
    for (size_t i = 1; i < args.size(); ++i) {
        std::wstring a = lower(args[i]);
        if ((a == L"-n" || a == L"/n") && i + 1 < args.size()) {
            count = std::wcstol(args[++i].c_str(), nullptr, 10);
            continue;
        }
        if ((a == L"-w" || a == L"-l" || a == L"-i") && i + 1 < args.size()) {
            ++i;
            continue;
        }
        if (isSwitch(a)) continue;
        host = a;
    }
    // Only this machine answers; the pause is what callers want from it.
    bool local = host == L"localhost" || host.rfind(L"127.", 0) == 0 || host == L"::1";
    if (host.empty() || !local) {
        io.err +=
            "Ping request could not find host " + toUtf8(host) + ". Please check the name and try again.\r\n";
        return 1;
    }
    if (count < 1) count = 1;
    std::string h = toUtf8(host) == "localhost" ? "127.0.0.1" : toUtf8(host);
    io.out += "\r\nPinging " + h + " with 32 bytes of data:\r\n";
    for (long i = 0; i < count; ++i) {
        if (i) pauseSeconds(1);
        io.out += "Reply from " + h + ": bytes=32 time<1ms TTL=128\r\n";
    }
    io.out += "\r\nPing statistics for " + h + ":\r\n    Packets: Sent = " + std::to_string(count) +
              ", Received = " + std::to_string(count) + ", Lost = 0 (0% loss),\r\n";
    return 0;
}

// ---- the interpreter ----------------------------------------------------------------------

std::wstring toolName(const std::wstring& program) {
    std::wstring name = program.substr(
        program.find_last_of(L"\\/") == std::wstring::npos ? 0 : program.find_last_of(L"\\/") + 1);
    name = lower(name);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, L".exe") == 0) name.resize(name.size() - 4);
    return name;
}

int runTool(const std::vector<std::wstring>& args, Io& io, bool& known) {
    known = true;
    std::wstring name = toolName(args[0]);
    if (name == L"netstat") return netstat(args, io);
    if (name == L"find") return find(args, io);
    if (name == L"taskkill") return taskkill(args, io);
    if (name == L"timeout") return timeoutTool(args, io);
    if (name == L"ping") return ping(args, io);
    known = false;
    return 1;
}

int runBuiltin(const std::vector<std::wstring>& args, Io& io) {
    std::wstring name = lower(args[0]);
    if (name == L"del" || name == L"erase") return del(args, io);
    if (name == L"rmdir" || name == L"rd") return rmdir(args, io);
    if (name == L"break" || name == L"rem") return 0;
    bool known;
    int rc = runTool(args, io, known);
    if (known) return rc;
    io.err +=
        "'" + toUtf8(args[0]) +
        "' is not recognized as an internal or external command,\r\noperable program or batch file.\r\n";
    return 1;
}

struct Redirect {
    int handle;  // 0 input, 1 output, 2 errors
    bool append;
    bool toOutput;  // 2>&1
    std::wstring target;
};

// Takes the redirections out of one command's text.
std::wstring takeRedirects(const std::wstring& text, std::vector<Redirect>& out) {
    std::wstring rest;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'"') {
            quoted = !quoted;
            rest += c;
            continue;
        }
        if (quoted || (c != L'>' && c != L'<')) {
            rest += c;
            continue;
        }
        Redirect r{c == L'<' ? 0 : 1, false, false, L""};
        if (c == L'>' && !rest.empty() && (rest.back() == L'1' || rest.back() == L'2') &&
            (rest.size() == 1 || rest[rest.size() - 2] == L' ' || rest[rest.size() - 2] == L'\t')) {
            r.handle = rest.back() - L'0';
            rest.pop_back();
        }
        if (c == L'>' && i + 1 < text.size() && text[i + 1] == L'>') {
            r.append = true;
            ++i;
        }
        if (c == L'>' && i + 2 < text.size() && text[i + 1] == L'&' && text[i + 2] == L'1') {
            r.toOutput = true;
            i += 2;
            out.push_back(r);
            continue;
        }
        ++i;
        while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
        bool q = false;
        for (; i < text.size(); ++i) {
            wchar_t t = text[i];
            if (t == L'"') {
                q = !q;
                continue;
            }
            if (!q && (t == L' ' || t == L'\t' || t == L'>' || t == L'<')) break;
            r.target += t;
        }
        --i;
        out.push_back(r);
        rest += L' ';
    }
    return rest;
}

// Splits at an operator outside quotes: the pieces and the operators between them.
void splitTop(const std::wstring& text, std::vector<std::wstring>& pieces, std::vector<std::wstring>& ops,
              bool pipes) {
    std::wstring cur;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'"') quoted = !quoted;
        if (!quoted && c == L'^' && i + 1 < text.size()) {
            cur += text[++i];
            continue;
        }
        if (!quoted) {
            std::wstring op;
            if (!pipes && c == L'&')
                op = i + 1 < text.size() && text[i + 1] == L'&' ? L"&&" : L"&";
            else if (!pipes && c == L'|' && i + 1 < text.size() && text[i + 1] == L'|')
                op = L"||";
            else if (pipes && c == L'|')
                op = L"|";
            if (!op.empty()) {
                pieces.push_back(cur);
                ops.push_back(op);
                cur.clear();
                i += op.size() - 1;
                continue;
            }
            if (!pipes && c == L'|') {
                // A single | belongs to the pipeline; keep it in the piece.
            }
        }
        cur += c;
    }
    pieces.push_back(cur);
}

void emit(const std::string& data, FILE* f) {
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::fflush(f);
}

// Where a stage's redirections point: its input read whole, its output and error files opened.
// False, with the message written, when one of them cannot be opened.
bool openRedirects(const std::vector<Redirect>& redirects, Io& io, std::string& fileInput, FILE*& outFile,
                   FILE*& errFile, bool& errToOut) {
    for (auto& r : redirects) {
        if (r.toOutput) {
            errToOut = true;
            continue;
        }
        char host[4096];
        if (!winPathToHost(r.target.c_str(), host, sizeof host)) return false;
        if (r.handle == 0) {
            std::ifstream in(host, std::ios::binary);
            if (!in) {
                std::fputs("The system cannot find the file specified.\r\n", stderr);
                return false;
            }
            std::stringstream ss;
            ss << in.rdbuf();
            fileInput = ss.str();
            io.input = &fileInput;
            continue;
        }
        // Opened before the command runs, so "break>file" leaves an empty file.
        FILE* f = std::fopen(host, r.append ? "ab" : "wb");
        if (!f) {
            std::fputs("The system cannot find the path specified.\r\n", stderr);
            return false;
        }
        FILE*& slot = r.handle == 2 ? errFile : outFile;
        if (slot) std::fclose(slot);
        slot = f;
    }
    return true;
}

int runPipeline(const std::wstring& text) {
    std::vector<std::wstring> stages, ops;
    splitTop(text, stages, ops, true);
    std::string carried;
    bool haveCarried = false;
    int rc = 0;
    for (size_t s = 0; s < stages.size(); ++s) {
        std::vector<Redirect> redirects;
        std::wstring command = takeRedirects(stages[s], redirects);
        std::vector<std::wstring> args = platform::splitCommandLine(command);
        Io io;
        std::string fileInput;
        if (haveCarried) io.input = &carried;
        FILE* outFile = nullptr;
        FILE* errFile = nullptr;
        bool errToOut = false;
        if (!openRedirects(redirects, io, fileInput, outFile, errFile, errToOut)) {
            if (outFile) std::fclose(outFile);
            if (errFile) std::fclose(errFile);
            rc = 1;
            haveCarried = true;
            carried.clear();
            continue;
        }
        if (args.empty())
            rc = 0;
        else
            rc = runBuiltin(args, io);
        bool last = s + 1 == stages.size();
        if (errToOut) {
            io.out += io.err;
            io.err.clear();
        }
        if (!last && !outFile) {
            carried = io.out;
        } else {
            emit(io.out, outFile ? outFile : stdout);
            carried.clear();
        }
        haveCarried = true;
        emit(io.err, errFile ? errFile : stderr);
        if (outFile) std::fclose(outFile);
        if (errFile) std::fclose(errFile);
    }
    return rc;
}

int runLine(const std::wstring& text) {
    std::vector<std::wstring> pieces, ops;
    splitTop(text, pieces, ops, false);
    int rc = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0 && ops[i - 1] == L"&&" && rc != 0) continue;
        if (i > 0 && ops[i - 1] == L"||" && rc == 0) continue;
        bool blank = pieces[i].find_first_not_of(L" \t") == std::wstring::npos;
        if (blank) continue;
        rc = runPipeline(pieces[i]);
    }
    return rc;
}

// The text after "/c", with cmd's rule for a leading quote: it and the last quote go, unless the
// two quotes simply name a program.
std::wstring commandText(const std::wstring& line, bool& found) {
    found = false;
    size_t i = 0;
    bool quoted = false;
    // Skip the program name.
    for (; i < line.size(); ++i) {
        if (line[i] == L'"')
            quoted = !quoted;
        else if (!quoted && (line[i] == L' ' || line[i] == L'\t'))
            break;
    }
    bool strip = true;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
        if (i + 1 < line.size() && line[i] == L'/') {
            wchar_t sw = asciiLower(line[i + 1]);
            i += 2;
            if (sw == L'c' || sw == L'k') {
                found = true;
                break;
            }
            if (sw == L's') strip = true;
            continue;
        }
        break;
    }
    if (!found) return L"";
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    std::wstring text = line.substr(i);
    if (strip && !text.empty() && text[0] == L'"') {
        size_t quotes = std::count(text.begin(), text.end(), L'"');
        size_t last = text.rfind(L'"');
        bool keep = false;
        if (quotes == 2) {
            std::wstring inner = text.substr(1, last - 1);
            keep = inner.find_first_of(L"&<>()@^|") == std::wstring::npos &&
                   inner.find(L' ') != std::wstring::npos &&
                   GetFileAttributesW(inner.c_str()) != INVALID_FILE_ATTRIBUTES;
        }
        if (!keep) text = text.substr(1, last - 1) + text.substr(last + 1);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    std::wstring line = GetCommandLineW();
    std::vector<std::wstring> args = platform::splitCommandLine(line);
    std::wstring self = argc > 0 ? fromUtf8(argv[0]) : L"cmd";
    if (!args.empty()) args[0] = self;
    std::wstring name = toolName(self);
    if (name != L"cmd" && name != L"kvlb_cmd") {
        Io io;
        bool known;
        int rc = args.empty() ? 1 : runTool(args, io, known);
        emit(io.out, stdout);
        emit(io.err, stderr);
        ExitProcess((UINT)rc);
    }
    bool found;
    std::wstring text = commandText(line, found);
    // Windows exit codes are wider than a host status; ExitProcess keeps them whole.
    if (found) ExitProcess((UINT)runLine(text));
    // Without /c the commands come on the standard input, one a line.
    int rc = 0;
    for (const auto& l : lines(readStdin())) rc = runLine(fromUtf8(l));
    ExitProcess((UINT)rc);
}
