// netstat for the set's Wine prefix: `netstat -n -a` printed the way Windows prints it (the header
// and the four-column TCP rows the service's port check reads), from the IP helper's tables.
// Wine's own netstat ignores -n and lists none of the host's sockets, while GetTcpTable sees them.
// Names are never resolved: every address is printed as a number.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* stateName(DWORD state) {
    switch (state) {
        case MIB_TCP_STATE_CLOSED:
            return "CLOSED";
        case MIB_TCP_STATE_LISTEN:
            return "LISTENING";
        case MIB_TCP_STATE_SYN_SENT:
            return "SYN_SENT";
        case MIB_TCP_STATE_SYN_RCVD:
            return "SYN_RECEIVED";
        case MIB_TCP_STATE_ESTAB:
            return "ESTABLISHED";
        case MIB_TCP_STATE_FIN_WAIT1:
            return "FIN_WAIT_1";
        case MIB_TCP_STATE_FIN_WAIT2:
            return "FIN_WAIT_2";
        case MIB_TCP_STATE_CLOSE_WAIT:
            return "CLOSE_WAIT";
        case MIB_TCP_STATE_CLOSING:
            return "CLOSING";
        case MIB_TCP_STATE_LAST_ACK:
            return "LAST_ACK";
        case MIB_TCP_STATE_TIME_WAIT:
            return "TIME_WAIT";
        case MIB_TCP_STATE_DELETE_TCB:
            return "DELETE_TCB";
        default:
            return "UNKNOWN";
    }
}

// Ports sit in the low 16 bits in network order.
unsigned portOf(DWORD port) {
    return ntohs(static_cast<u_short>(port & 0xFFFF));
}

// An IPv4 address as the table holds it (network order) -> "127.0.0.1:56462".
std::string endpoint4(DWORD address, unsigned port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], port);
    return text;
}

// An IPv6 address in its short form (longest run of two or more zero groups as "::"), with the
// scope id Windows appends to link-local addresses only -> "[fe80::1%5]:445"; an IPv4-mapped
// address keeps its dotted tail -> "[::ffff:127.0.0.1]:80".
std::string endpoint6(const unsigned char* bytes, DWORD scope, unsigned port) {
    static const unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes, mappedPrefix, sizeof mappedPrefix) == 0) {
        char text[48];
        std::snprintf(text, sizeof text, "[::ffff:%u.%u.%u.%u]:%u", bytes[12], bytes[13], bytes[14],
                      bytes[15], port);
        return text;
    }
    bool linkLocal = bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = (bytes[2 * i] << 8) | bytes[2 * i + 1];
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength && j - i >= 2) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    std::string text = "[";
    char group[8];
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (i > 0 && i != bestStart + bestLength) text += ":";
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += group;
    }
    if (linkLocal && scope != 0) {
        text += '%';
        text += std::to_string(scope);
    }
    text += "]:";
    text += std::to_string(port);
    return text;
}

// Windows' columns: the protocol in 7, each address in 23 (one blank at least after a longer one).
void row(const char* protocol, const std::string& local, const std::string& foreign, const char* state) {
    if (*state)
        std::printf("  %-7s%-22s %-22s %s\n", protocol, local.c_str(), foreign.c_str(), state);
    else
        std::printf("  %-7s%-22s %s\n", protocol, local.c_str(), foreign.c_str());
}

// The IP helper's two-call pattern: ask for the size, then fill (again if the table grew).
template <typename Table, typename Fill>
std::vector<unsigned char> readTable(Fill fill) {
    ULONG size = sizeof(Table);
    std::vector<unsigned char> buffer(size);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD result = fill(reinterpret_cast<Table*>(buffer.data()), &size);
        if (result == NO_ERROR) return buffer;
        if (result != ERROR_INSUFFICIENT_BUFFER) break;
        buffer.resize(size);
    }
    return {};
}

void tcp4(bool all) {
    auto buffer =
        readTable<MIB_TCPTABLE>([](MIB_TCPTABLE* t, ULONG* size) { return GetTcpTable(t, size, TRUE); });
    if (buffer.empty()) return;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& r = table->table[i];
        bool listening = r.dwState == MIB_TCP_STATE_LISTEN;
        if (listening && !all) continue;
        row("TCP", endpoint4(r.dwLocalAddr, portOf(r.dwLocalPort)),
            listening ? std::string("0.0.0.0:0") : endpoint4(r.dwRemoteAddr, portOf(r.dwRemotePort)),
            stateName(r.dwState));
    }
}

// GetTcp6Table is looked up at run time: Windows XP's IP helper does not have it.
void tcp6(bool all) {
    using GetTcp6TableFn = ULONG(WINAPI*)(PMIB_TCP6TABLE, PULONG, BOOL);
    HMODULE module = GetModuleHandleW(L"iphlpapi.dll");
    auto getTable = module ? reinterpret_cast<GetTcp6TableFn>(
                                 reinterpret_cast<void*>(GetProcAddress(module, "GetTcp6Table")))
                           : nullptr;
    if (!getTable) return;
    auto buffer = readTable<MIB_TCP6TABLE>(
        [getTable](MIB_TCP6TABLE* t, ULONG* size) { return static_cast<DWORD>(getTable(t, size, TRUE)); });
    if (buffer.empty()) return;
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE*>(buffer.data());
    static const unsigned char any[16] = {};
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCP6ROW& r = table->table[i];
        bool listening = r.State == MIB_TCP_STATE_LISTEN;
        if (listening && !all) continue;
        row("TCP", endpoint6(r.LocalAddr.s6_addr, r.dwLocalScopeId, portOf(r.dwLocalPort)),
            listening ? endpoint6(any, 0, 0)
                      : endpoint6(r.RemoteAddr.s6_addr, r.dwRemoteScopeId, portOf(r.dwRemotePort)),
            stateName(r.State));
    }
}

// UDP endpoints have no peer and no state: Windows shows "*:*" and lists them only with -a.
void udp4() {
    auto buffer =
        readTable<MIB_UDPTABLE>([](MIB_UDPTABLE* t, ULONG* size) { return GetUdpTable(t, size, TRUE); });
    if (buffer.empty()) return;
    const auto* table = reinterpret_cast<const MIB_UDPTABLE*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
        row("UDP", endpoint4(table->table[i].dwLocalAddr, portOf(table->table[i].dwLocalPort)), "*:*", "");
}

void usage() {
    std::printf(
        "\nDisplays protocol statistics and current TCP/IP network connections.\n\n"
        "NETSTAT [-a] [-n]\n\n"
        "  -a            Displays all connections and listening ports.\n"
        "  -n            Displays addresses and port numbers in numerical form.\n\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool all = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] != '-' && a[0] != '/') {
            usage();
            return 1;
        }
        for (const char* c = a + 1; *c; ++c) {
            if (*c == 'a' || *c == 'A') {
                all = true;
            } else if (*c != 'n' && *c != 'N') {
                usage();
                return 1;
            }
        }
        if (!a[1]) {
            usage();
            return 1;
        }
    }
    std::printf("\nActive Connections\n\n  Proto  Local Address          Foreign Address        State\n");
    tcp4(all);
    tcp6(all);
    if (all) udp4();
    return 0;
}
