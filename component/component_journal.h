// Where and how the stand-in component journals its calls, for the component and its readers.
//
// One line per call: the method name, then one tab-separated field per input argument in call
// order: bstr:"<text>" or bstr:null, int:<decimal>, variant-bstr:"<text>" or variant-bstr:null
// (variant:<vt> for any other VARIANT type). Texts are UTF-8 with \ " tab, CR, LF and other
// control characters escaped (\\ \" \t \r \n \xHH).
#pragma once

#include <cstdio>
#include <string>

#include "platform/root.h"

inline std::string componentJournalPath() {
    return platform::rootDir() + "/component/journal.txt";
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
