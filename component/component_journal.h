// Where and how the stand-in component journals its calls, for the component and its readers.
//
// One line per call: the method name, then one tab-separated field per input argument in call
// order: bstr:"<text>" or bstr:null, int:<decimal>, variant-bstr:"<text>" or variant-bstr:null
// (variant:<vt> for any other VARIANT type). Texts are UTF-8 with \ " tab, CR, LF and other
// control characters escaped (\\ \" \t \r \n \xHH).
//
// The component's folder holds the journal and, on Windows, its settings: the folder
// SigningComponent in the common application-data folder on Windows (C:\ProgramData on Vista and
// later), shared by every process of the machine that loads the component; <root>/component in
// the Linux build, whose settings are the machine's (<root>/machine.ini).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include "platform/root.h"
#endif

#ifdef _WIN32
// Looked up once per process: under Wine the lookup costs more than the rest of a call.
inline std::filesystem::path componentFolder() {
    static const std::filesystem::path folder = [] {
        wchar_t base[MAX_PATH] = {};
        if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)))
            return std::filesystem::path();
        return std::filesystem::path(base) / L"SigningComponent";
    }();
    return folder;
}
// "key=value" lines, the keys of component/README.md.
inline std::filesystem::path componentSettingsPath() {
    return componentFolder() / L"settings.ini";
}
#else
inline std::filesystem::path componentFolder() {
    return std::filesystem::path(platform::rootDir()) / "component";
}
#endif

inline std::filesystem::path componentJournalPath() {
    return componentFolder() / "journal.txt";
}

inline std::string escapeJournalText(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                } else {
                    out += (char)c;
                }
        }
    }
    return out;
}
